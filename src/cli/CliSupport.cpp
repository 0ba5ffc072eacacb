#include "CliSupport.h"

#include <unistd.h>

namespace velkaro::cli {

namespace {

constexpr const char *kUsage = "使い方: velkaro-backup-cli <コマンド> [オプション]\n"
                               "\n"
                               "  backup [--dry-run]              保存された設定でバックアップを1回実行\n"
                               "                                  (--dry-run: 対象と対象外のファイルを表示するだけ)\n"
                               "  list [--json]                   バックアップ履歴を新しい順に表示\n"
                               "  show ID [--json]                スナップショットとそのファイルを表示\n"
                               "  restore ID [--scope all|markdown|config]\n"
                               "                                  スナップショットを復元 (既定: all)\n"
                               "  restore ID --file PATH [--file PATH ...]\n"
                               "                                  指定したファイルだけを復元\n"
                               "  diff ID [--against ID2] [--json]\n"
                               "                                  スナップショットと今 (または ID2) の違いを表示\n"
                               "  diff ID --file PATH [--against ID2]\n"
                               "                                  1つのファイルの違いを unified 形式で表示\n"
                               "  delete ID                       スナップショットを削除\n"
                               "  templates list [--json]         プロンプトテンプレートの一覧\n"
                               "  templates apply ID              テンプレートを GEMINI.md に適用\n"
                               "  templates import                現在の GEMINI.md をテンプレートとして取り込み\n"
                               "  --help                          このヘルプを表示\n"
                               "  --version                       バージョンを表示\n"
                               "\n"
                               "終了コード: 0 成功 / 1 失敗 / 2 使い方の誤り\n"
                               "(diff は diff(1) と同じ: 0 違いなし / 1 違いあり / 2 エラー)\n";

} // namespace

void printUsage(std::FILE *stream)
{
    std::fputs(kUsage, stream);
}

int usageError(std::string_view problem)
{
    if (!problem.empty())
        std::fprintf(stderr, "%.*s\n\n", static_cast<int>(problem.size()), problem.data());
    printUsage(stderr);
    return kExitUsage;
}

void printLine(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

void printError(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
}

void printJson(std::string_view json)
{
    std::fwrite(json.data(), 1, json.size(), stdout);
    if (json.empty() || json.back() != '\n')
        std::fputc('\n', stdout);
}

bool isTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

BackupConfig loadConfig()
{
    return BackupConfig::readFile().value_or(BackupConfig {});
}

std::optional<BackupSnapshot> findSnapshot(const std::vector<BackupSnapshot> &history, std::string_view id)
{
    for (const auto &snapshot : history) {
        if (snapshot.id == id)
            return snapshot;
    }
    return std::nullopt;
}

std::expected<Arguments, std::string> parseArguments(const std::vector<std::string> &args,
    const std::set<std::string, std::less<>> &flags, const std::set<std::string, std::less<>> &valueOptions)
{
    Arguments parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.wantsHelp = true;
            continue;
        }
        const auto equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (flags.contains(name) && equals == std::string::npos) {
            parsed.options[name] = "";
        } else if (valueOptions.contains(name)) {
            if (equals != std::string::npos)
                parsed.options[name] = arg.substr(equals + 1);
            else if (i + 1 < args.size())
                parsed.options[name] = args[++i];
            else
                return std::unexpected(name + " には値が必要です");
            parsed.values[name].push_back(parsed.options[name]);
        } else {
            return std::unexpected("不明なオプションです: " + arg);
        }
    }
    return parsed;
}

} // namespace velkaro::cli
