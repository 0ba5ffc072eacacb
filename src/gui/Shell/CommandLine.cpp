#include "Shell/CommandLine.h"

#include "version.h"

#include <array>

namespace velkaro {

namespace {

// Qt reads these itself (QGuiApplication, QApplication, xcb); they must not count as unknown.
constexpr std::array kQtOptionsWithValue {"platform", "platformpluginpath", "platformtheme", "plugin",
    "qwindowgeometry", "qwindowicon", "qwindowtitle", "display", "geometry", "name", "title", "style", "stylesheet",
    "session", "qmljsdebugger"};
constexpr std::array kQtFlags {"reverse", "widgetcount", "nograb", "dograb", "sync"};

bool isResidentSwitch(const QString &argument)
{
    return argument == QLatin1String("--minimized") || argument == QLatin1String("-m")
        || argument == QLatin1String("--background");
}

// Qt takes both -name and --name; a value follows as the next argument or after "=".
int qtOptionLength(const QString &argument)
{
    QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
    const bool hasInlineValue = name.contains(QLatin1Char('='));
    name = name.section(QLatin1Char('='), 0, 0);
    for (const char *option : kQtOptionsWithValue) {
        if (name == QLatin1String(option))
            return hasInlineValue ? 1 : 2;
    }
    for (const char *flag : kQtFlags) {
        if (name == QLatin1String(flag) && !hasInlineValue)
            return 1;
    }
    return 0;
}

} // namespace

CommandLine CommandLine::parse(const QStringList &arguments)
{
    CommandLine out;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        // Positional arguments (a velkaro-backup: URL, or whatever a launcher passes) go to the delegate.
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-"))
            continue;
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            out.action = Action::help;
            return out;
        } else if (argument == QLatin1String("--version")) {
            out.action = Action::version;
            return out;
        } else if (isResidentSwitch(argument)) {
            continue;
        } else if (const int length = qtOptionLength(argument); length > 0) {
            if (i + length > arguments.size()) {
                out.action = Action::usageError;
                out.problem = QStringLiteral("%1 には値が必要だよ").arg(argument);
                return out;
            }
            i += length - 1;
        } else {
            out.action = Action::usageError;
            out.problem = QStringLiteral("知らないオプションだよ: %1").arg(argument);
            return out;
        }
    }
    return out;
}

QString CommandLine::usageText()
{
    return QStringLiteral(
        "使い方: velkaro-backup [オプション] [URL]\n"
        "\n"
        "AI アシスタントの設定とプロンプトをバックアップするトレイアプリだよ。\n"
        "すでに動いているときは、そっちに引き継いで終了するよ。\n"
        "\n"
        "オプション:\n"
        "  --minimized, -m, --background  ウィンドウを出さずにトレイに常駐して起動\n"
        "  --help, -h                     この使い方を表示して終了\n"
        "  --version                      バージョンを表示して終了\n"
        "\n"
        "URL:\n"
        "  velkaro-backup://open          管理ウィンドウを開く (velkaro-backup: の URL ならどれでも)\n");
}

QString CommandLine::versionText()
{
    return QStringLiteral("velkaro-backup %1\n").arg(QStringLiteral(VELKARO_VERSION));
}

} // namespace velkaro
