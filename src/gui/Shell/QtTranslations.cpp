#include "Shell/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace velkaro {

bool installQtTranslations(QCoreApplication &app, const QLocale &locale, const QString &directory)
{
    const QString folder = directory.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : directory;
    // qtbase holds the widgets' texts. "qt" is the meta catalogue that pulls in every module's; it fails
    // as a whole when one of them is not installed, so it is only the fallback.
    for (const char *catalogue : {"qtbase", "qt"}) {
        auto *translator = new QTranslator(&app);
        if (translator->load(locale, QString::fromLatin1(catalogue), QStringLiteral("_"), folder)) {
            QCoreApplication::installTranslator(translator);
            return true;
        }
        delete translator;
    }
    return false;
}

} // namespace velkaro
