#pragma once

#include <QLocale>
#include <QString>

class QCoreApplication;

namespace velkaro {

// Qt's own texts (the folder chooser, message box buttons, the context menu of a text field) in the
// user's language, from Qt's translation catalogue (qtbase_<lang>.qm). Our own texts are Japanese
// anyway. Returns whether a catalogue was found; without one Qt stays in English.
bool installQtTranslations(QCoreApplication &app, const QLocale &locale, const QString &directory = {});

} // namespace velkaro
