#pragma once

#include "Platform/Clock.h"

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace velkaro {

// The raw value of every labelled enumeration is its Japanese label: it is shown in the interface and
// written into the JSON files, so a label change is a file-format change.

enum class BackupInterval {
    disabled,
    everyThirtyMinutes,
    hourly,
    everyThreeHours,
    everySixHours,
    everyTwelveHours,
    daily
};
enum class BackupTriggerType { manual, scheduled, preRestoreSafety };
enum class RestoreScopeOption { allFiles, markdownOnly, configOnly };
enum class AutoLaunchState { enabled, disabled };
enum class StartupWindowMode { showWindow, minimizeToMenuBar };
enum class NotificationSettingMode { all, errorsOnly, none };
enum class TemplateKind { general, character, coding, review, custom };
enum class AppEdition { sorane, standardPublic };
enum class NavigationTab { dashboard, history, templates, settings };
// How a restore ended: every chosen file written, some of them not, or nothing done.
enum class RestoreOutcome { complete, partial, failed };

// Label table of each enumeration, in the order in which pickers and menus list the cases.
template<class E> struct EnumLabels;

template<> struct EnumLabels<BackupInterval>
{
    static constexpr std::array<std::pair<BackupInterval, std::string_view>, 7> table {{
        {BackupInterval::disabled, "無効 (手動のみ)"},
        {BackupInterval::everyThirtyMinutes, "30分ごと"},
        {BackupInterval::hourly, "1時間ごと"},
        {BackupInterval::everyThreeHours, "3時間ごと"},
        {BackupInterval::everySixHours, "6時間ごと"},
        {BackupInterval::everyTwelveHours, "12時間ごと"},
        {BackupInterval::daily, "24時間ごと"},
    }};
};

template<> struct EnumLabels<BackupTriggerType>
{
    static constexpr std::array<std::pair<BackupTriggerType, std::string_view>, 3> table {{
        {BackupTriggerType::manual, "手動"},
        {BackupTriggerType::scheduled, "定期自動"},
        {BackupTriggerType::preRestoreSafety, "復元前自動退避"},
    }};
};

template<> struct EnumLabels<RestoreScopeOption>
{
    static constexpr std::array<std::pair<RestoreScopeOption, std::string_view>, 3> table {{
        {RestoreScopeOption::allFiles, "すべての設定とプロンプト"},
        {RestoreScopeOption::markdownOnly, "Markdown (.md) プロンプトのみ"},
        {RestoreScopeOption::configOnly, "設定ファイル (.json / .pbtxt 等) のみ"},
    }};
};

template<> struct EnumLabels<AutoLaunchState>
{
    static constexpr std::array<std::pair<AutoLaunchState, std::string_view>, 2> table {{
        {AutoLaunchState::enabled, "有効"},
        {AutoLaunchState::disabled, "無効"},
    }};
};

template<> struct EnumLabels<StartupWindowMode>
{
    static constexpr std::array<std::pair<StartupWindowMode, std::string_view>, 2> table {{
        {StartupWindowMode::showWindow, "メイン画面を表示する"},
        {StartupWindowMode::minimizeToMenuBar, "メニューバーのみに常駐 (非表示)"},
    }};
};

template<> struct EnumLabels<NotificationSettingMode>
{
    static constexpr std::array<std::pair<NotificationSettingMode, std::string_view>, 3> table {{
        {NotificationSettingMode::all, "すべて通知 (成功・失敗)"},
        {NotificationSettingMode::errorsOnly, "エラー時のみ通知"},
        {NotificationSettingMode::none, "通知しない"},
    }};
};

template<> struct EnumLabels<TemplateKind>
{
    static constexpr std::array<std::pair<TemplateKind, std::string_view>, 5> table {{
        {TemplateKind::general, "汎用プロンプト"},
        {TemplateKind::character, "キャラクター / 人格"},
        {TemplateKind::coding, "コーディング特化"},
        {TemplateKind::review, "レビュー / 改善"},
        {TemplateKind::custom, "カスタム"},
    }};
};

template<> struct EnumLabels<AppEdition>
{
    static constexpr std::array<std::pair<AppEdition, std::string_view>, 2> table {{
        {AppEdition::sorane, "ソラネエディション (お兄専用)"},
        {AppEdition::standardPublic, "一般配布用エディション (Public)"},
    }};
};

template<> struct EnumLabels<NavigationTab>
{
    static constexpr std::array<std::pair<NavigationTab, std::string_view>, 4> table {{
        {NavigationTab::dashboard, "ダッシュボード"},
        {NavigationTab::history, "バックアップ履歴"},
        {NavigationTab::templates, "プロンプト管理"},
        {NavigationTab::settings, "環境設定"},
    }};
};

// The label of a case.
template<class E> constexpr std::string_view rawValue(E value)
{
    for (const auto &[e, label] : EnumLabels<E>::table) {
        if (e == value)
            return label;
    }
    return {};
}

// Same as rawValue; lists and pickers identify their elements by it.
template<class E> constexpr std::string_view id(E value)
{
    return rawValue(value);
}

// The case whose label equals `text` exactly (no trimming, no case folding), else nothing.
template<class E> constexpr std::optional<E> fromRawValue(std::string_view text)
{
    for (const auto &[e, label] : EnumLabels<E>::table) {
        if (label == text)
            return e;
    }
    return std::nullopt;
}

// Every case, in picker order.
template<class E> constexpr auto allCases()
{
    std::array<E, EnumLabels<E>::table.size()> cases {};
    for (std::size_t i = 0; i < cases.size(); ++i)
        cases[i] = EnumLabels<E>::table[i].first;
    return cases;
}

// Seconds between scheduled runs; nothing for `disabled`.
std::optional<double> timeIntervalInSeconds(BackupInterval interval);

// Part of the documented service interface; the sidebar draws its own icons.
// Name of the symbol shown beside a page in the sidebar.
std::string_view iconName(NavigationTab tab);

// The state of a backup run, as reported by the engine and shown by the application.
class BackupExecutionState
{
public:
    struct Idle
    {
        bool operator==(const Idle &) const = default;
    };
    struct Preparing
    {
        bool operator==(const Preparing &) const = default;
    };
    struct Copying
    {
        double progress = 0.0; // fraction of the collected files already handled
        std::string currentFileName; // last path component of the file being copied
        bool operator==(const Copying &) const = default;
    };
    struct Finalizing
    {
        bool operator==(const Finalizing &) const = default;
    };
    struct Success
    {
        TimePoint date; // start of the run
        std::string snapshotId;
        bool operator==(const Success &) const = default;
    };
    struct Failed
    {
        std::string message;
        bool operator==(const Failed &) const = default;
    };
    using Value = std::variant<Idle, Preparing, Copying, Finalizing, Success, Failed>;

    BackupExecutionState() = default;
    BackupExecutionState(Value value)
        : m_value(std::move(value))
    { }

    // Part of the documented service interface; a default-made state is the same.
    static BackupExecutionState idle() { return {Idle {}}; }
    static BackupExecutionState preparing() { return {Preparing {}}; }
    static BackupExecutionState copying(double progress, std::string currentFileName)
    {
        return {Copying {progress, std::move(currentFileName)}};
    }
    static BackupExecutionState finalizing() { return {Finalizing {}}; }
    static BackupExecutionState success(TimePoint date, std::string snapshotId)
    {
        return {Success {date, std::move(snapshotId)}};
    }
    static BackupExecutionState failed(std::string message) { return {Failed {std::move(message)}}; }

    template<class Case> bool is() const { return std::holds_alternative<Case>(m_value); }
    // The associated values of the case, or nullptr for another case.
    template<class Case> const Case *as() const { return std::get_if<Case>(&m_value); }
    const Value &value() const { return m_value; }

    bool isRunning() const;
    std::string displayTitle() const;

    bool operator==(const BackupExecutionState &) const = default;

private:
    Value m_value;
};

} // namespace velkaro
