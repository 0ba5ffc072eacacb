#include "Shell/CommandLine.h"
#include "Shell/QtTranslations.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLibraryInfo>
#include <QPushButton>
#include <QTranslator>
#include <gtest/gtest.h>

namespace velkaro::test {
namespace {

using Action = CommandLine::Action;

Action actionOf(const QStringList &arguments)
{
    return CommandLine::parse(arguments).action;
}

// The resident switches, URLs, launcher leftovers and Qt's own options start the application; help and
// version win wherever they stand; anything else that looks like an option is refused.
TEST(CommandLineTest, WhatStartsWhatAnswersAndWhatIsRefused)
{
    for (const QStringList &run : std::initializer_list<QStringList> {{}, {"-m"}, {"--minimized"}, {"--background"},
             {"velkaro-backup://open"}, {"-m", "velkaro-backup:x"}, {""}, {"-"}, {"--", "--help"},
             {"-platform", "xcb", "-m"}, {"--style=Fusion"}, {"-reverse"}, {"-qwindowgeometry", "900x600"}})
        EXPECT_EQ(actionOf(run), Action::run) << run.join(' ').toStdString();
    for (const QStringList &help : std::initializer_list<QStringList> {{"--help"}, {"-h"}, {"-m", "--help"}})
        EXPECT_EQ(actionOf(help), Action::help) << help.join(' ').toStdString();
    EXPECT_EQ(actionOf({"--version"}), Action::version);
    EXPECT_EQ(actionOf({"--version", "--help"}), Action::version);

    for (const QStringList &wrong : std::initializer_list<QStringList> {{"-M"}, {"--minimized=1"}, {"-mx"},
             {"--Background"}, {"--bogus", "--help"}, {"-v"}, {"-reverse=1"}, {"-platform"}}) {
        const CommandLine line = CommandLine::parse(wrong);
        EXPECT_EQ(line.action, Action::usageError) << wrong.join(' ').toStdString();
        EXPECT_TRUE(line.problem.contains(wrong.front())) << line.problem.toStdString();
    }
}

// Qt's standard dialogs speak the user's language once its catalogue is loaded.
class QtTranslationsTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        for (QTranslator *translator : qApp->findChildren<QTranslator *>()) {
            QCoreApplication::removeTranslator(translator);
            delete translator;
        }
    }

    // The texts a non-native folder chooser shows: its labels and its buttons.
    static QStringList folderChooserTexts()
    {
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setFileMode(QFileDialog::Directory);
        QStringList texts;
        for (const QLabel *label : dialog.findChildren<QLabel *>())
            texts << label->text();
        for (const QPushButton *button : dialog.findChildren<QPushButton *>())
            texts << button->text();
        return texts;
    }
};

TEST_F(QtTranslationsTest, FolderChooserIsJapaneseUnderAJapaneseLocale)
{
    // Without a catalogue Qt is left as it is.
    const QLocale japanese(QLocale::Japanese, QLocale::Japan);
    EXPECT_FALSE(installQtTranslations(*qApp, japanese, QStringLiteral("/nonexistent")));
    EXPECT_TRUE(qApp->findChildren<QTranslator *>().isEmpty());
    ASSERT_TRUE(folderChooserTexts().contains(QStringLiteral("Look in:")));

    ASSERT_TRUE(installQtTranslations(*qApp, japanese))
        << "qtbase_ja.qm missing in " << QLibraryInfo::path(QLibraryInfo::TranslationsPath).toStdString();
    const QStringList texts = folderChooserTexts();
    EXPECT_FALSE(texts.contains(QStringLiteral("Look in:"))) << texts.join('|').toStdString();
    for (const char *text : {"アドレス:", "選択(&C)", "キャンセル"})
        EXPECT_TRUE(texts.contains(QString::fromUtf8(text))) << texts.join('|').toStdString();
}

} // namespace
} // namespace velkaro::test
