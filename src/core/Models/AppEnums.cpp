#include "Models/AppEnums.h"

namespace velkaro {

std::optional<double> timeIntervalInSeconds(BackupInterval interval)
{
    switch (interval) {
    case BackupInterval::disabled:
        return std::nullopt;
    case BackupInterval::everyThirtyMinutes:
        return 1800.0;
    case BackupInterval::hourly:
        return 3600.0;
    case BackupInterval::everyThreeHours:
        return 10800.0;
    case BackupInterval::everySixHours:
        return 21600.0;
    case BackupInterval::everyTwelveHours:
        return 43200.0;
    case BackupInterval::daily:
        return 86400.0;
    }
    return std::nullopt;
}

std::string_view iconName(NavigationTab tab)
{
    switch (tab) {
    case NavigationTab::dashboard:
        return "gauge.with.dots.needle.bottom.50percent";
    case NavigationTab::history:
        return "clock.arrow.circlepath";
    case NavigationTab::templates:
        return "doc.text.fill";
    case NavigationTab::settings:
        return "gearshape.fill";
    }
    return {};
}

bool BackupExecutionState::isRunning() const
{
    return is<Preparing>() || is<Copying>() || is<Finalizing>();
}

std::string BackupExecutionState::displayTitle() const
{
    struct Title
    {
        std::string operator()(const Idle &) const { return "待機中"; }
        std::string operator()(const Preparing &) const { return "バックアップ準備中..."; }
        std::string operator()(const Copying &c) const { return "コピー中: " + c.currentFileName; }
        std::string operator()(const Finalizing &) const { return "スナップショット作成中..."; }
        std::string operator()(const Success &) const { return "バックアップ完了"; }
        std::string operator()(const Failed &f) const { return "エラー: " + f.message; }
    };
    return std::visit(Title {}, m_value);
}

} // namespace velkaro
