#include "AppStateFixture.h"
#include "GuiPalettes.h"
#include "Views/Backups/BackupHistoryView.h"
#include "Views/Backups/SnapshotListModel.h"
#include "Views/Backups/SnapshotRowDelegate.h"
#include "Views/Common/Palette.h"
#include "Views/Main/MainWindowView.h"
#include "Views/Widgets/ProminentButton.h"

#include <QListWidget>
#include <QStyle>
#include <QTest>

#include <ostream>

namespace velkaro::test {
namespace {

enum class Scheme { light, dark };

const char *schemeName(Scheme scheme)
{
    return scheme == Scheme::dark ? "dark" : "light";
}

// gtest prints the scheme by its name, not as the bytes of an enumeration.
void PrintTo(Scheme scheme, std::ostream *out)
{
    *out << schemeName(scheme);
}

// Text on the prominent buttons and on the badges reaches 4.5:1 in the light and the dark palette,
// reckoned from the palette the widgets paint with and checked against the pixels they paint.
class ContrastTest : public AppStateFixture, public ::testing::WithParamInterface<Scheme>
{
protected:
    void SetUp() override
    {
        AppStateFixture::SetUp();
        QApplication::setPalette(GetParam() == Scheme::dark ? darkPalette() : QApplication::style()->standardPalette());
    }
    void TearDown() override
    {
        QApplication::setPalette(QApplication::style()->standardPalette());
        AppStateFixture::TearDown();
    }

    // The painted colour at `at` is `expected` (give or take rounding).
    // Three snapshots, one of each trigger: safety, scheduled, manual.
    AppState &startWithEveryTrigger()
    {
        AppState &app = start();
        manualBackups(1);
        app.executeScheduledBackup();
        settle();
        app.restore(app.snapshots().back(), RestoreScopeOption::allFiles, [](RestoreOutcome, const std::string &) {});
        settle();
        EXPECT_EQ(app.snapshots().size(), 3u);
        return app;
    }

    // The window at its default size, on screen.
    static bool shown(MainWindowView &view)
    {
        view.resize(900, 600);
        view.show();
        return QTest::qWaitForWindowExposed(&view);
    }

    static void expectPainted(QWidget *widget, QPoint at, const QColor &expected, const std::string &what)
    {
        const QColor painted = widget->grab().toImage().pixelColor(at);
        EXPECT_LE(std::abs(painted.red() - expected.red()) + std::abs(painted.green() - expected.green())
                + std::abs(painted.blue() - expected.blue()),
            6)
            << what << ": painted " << painted.name().toStdString() << ", palette " << expected.name().toStdString();
    }
};

TEST_P(ContrastTest, ProminentButtons)
{
    AppState &app = startWithEveryTrigger();
    MainWindowView view(app);
    ASSERT_TRUE(shown(view));

    QStringList seen;
    for (NavigationTab tab : allCases<NavigationTab>()) {
        app.setSelectedTab(tab);
        for (ProminentButton *button : view.page(tab)->findChildren<ProminentButton *>()) {
            if (!button->isVisible())
                continue;
            seen << button->text();
            const std::string name = button->text().toStdString();
            const QPalette &pal = button->palette();
            for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
                EXPECT_GE(
                    contrastRatio(pal.color(group, QPalette::ButtonText), pal.color(group, QPalette::Button)), 4.5)
                    << name << " in group " << int(group);
            // What reaches the screen is the palette's fill, not a style's lighter shade of it.
            expectPainted(button, QPoint(button->width() / 2, 2), pal.color(QPalette::Active, QPalette::Button), name);
        }
    }
    seen.sort();
    EXPECT_EQ(seen,
        (QStringList {QStringLiteral("GEMINI.md に適用"), QStringLiteral("今すぐバックアップ"),
            QStringLiteral("復元を実行"), QStringLiteral("設定を保存する")}));
}

// Each badge, on its row selected: its pill is opaque, so the highlight never meets the text.
TEST_P(ContrastTest, Badges)
{
    AppState &app = startWithEveryTrigger();
    MainWindowView view(app);
    ASSERT_TRUE(shown(view));
    app.setSelectedTab(NavigationTab::history);
    auto *history = qobject_cast<BackupHistoryView *>(view.page(NavigationTab::history));
    QStringList badges;
    SnapshotListView *list = history->list();
    for (int row = 0; row < list->count(); ++row) {
        list->setCurrentRow(row);
        const QModelIndex index = history->listModel()->index(row);
        const QString text = index.data(SnapshotListModel::TriggerRole).toString();
        badges << text;
        EXPECT_TRUE(list->selectionModel()->isSelected(index));
        const BadgeColors colors
            = badgeColors(Tint(index.data(SnapshotListModel::TintRole).toInt()), list->viewport()->palette());
        EXPECT_GE(contrastRatio(colors.ink, colors.fill), 4.5) << text.toStdString();
        QStyleOptionViewItem option;
        option.initFrom(list->viewport());
        option.font = list->font();
        option.rect = list->visualRect(index);
        const QRect pill = SnapshotRowDelegate::badgeRect(option, index);
        ASSERT_TRUE(option.rect.contains(pill)) << text.toStdString();
        expectPainted(list->viewport(), QPoint(pill.left() + 3, pill.center().y()), colors.fill, text.toStdString());
    }
    EXPECT_EQ(
        badges, (QStringList {QStringLiteral("復元前自動退避"), QStringLiteral("定期自動"), QStringLiteral("手動")}));
}

// The two helpers behind it: the ratio as WCAG reckons it, and an ink moved until it reads.
TEST(Contrast, RatioAndReadableInk)
{
    EXPECT_NEAR(contrastRatio(Qt::black, Qt::white), 21.0, 0.01);
    EXPECT_NEAR(contrastRatio(Qt::white, Qt::white), 1.0, 0.001);
    EXPECT_NEAR(contrastRatio(QColor(0x76, 0x76, 0x76), Qt::white), 4.54, 0.01);
    for (const QColor &background : {QColor(Qt::white), QColor(0x38, 0x38, 0x3c), QColor(0x30, 0x8c, 0xc6)}) {
        const QColor ink = readableOn(QColor(0x40, 0x9c, 0xff), background);
        EXPECT_GE(contrastRatio(ink, background), 4.5) << background.name().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Palettes, ContrastTest, ::testing::Values(Scheme::light, Scheme::dark),
    [](const auto &scheme) { return std::string(schemeName(scheme.param)); });

} // namespace
} // namespace velkaro::test
