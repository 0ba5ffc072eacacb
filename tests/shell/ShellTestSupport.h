#pragma once

#include "AppTestSupport.h"

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QRect>
#include <QScreen>
#include <QStyle>

#include <algorithm>
#include <string>
#include <vector>

namespace velkaro::test {

// One line per menu entry: "---" for a separator, otherwise the title, then "|off" when disabled,
// "|" and the shortcut when there is one, "|>" when it opens a submenu.
inline std::vector<std::string> describe(const QMenu &menu)
{
    std::vector<std::string> out;
    for (const QAction *action : menu.actions()) {
        if (action->isSeparator()) {
            out.emplace_back("---");
            continue;
        }
        std::string line = action->text().toStdString();
        if (!action->isEnabled())
            line += "|off";
        if (!action->shortcut().isEmpty())
            line += "|" + action->shortcut().toString().toStdString();
        if (QMenu::menuInAction(action))
            line += "|>";
        out.push_back(line);
    }
    return out;
}

inline QAction *findAction(const QMenu &menu, const QString &title)
{
    const auto actions = menu.actions();
    const auto found = std::ranges::find(actions, title, &QAction::text);
    return found == actions.end() ? nullptr : *found;
}

// Where a window shown at 900 × 600 must stand: the middle of the available area of the screen.
inline QRect centredRect()
{
    return QStyle::alignedRect(
        Qt::LeftToRight, Qt::AlignCenter, QSize(900, 600), QGuiApplication::primaryScreen()->availableGeometry());
}

} // namespace velkaro::test
