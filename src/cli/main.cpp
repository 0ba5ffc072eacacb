#include "TemplateCommands.h"

#include <cstdio>
#include <string_view>

namespace {

constexpr const char *kUsage = "使い方: velkaro-backup-cli <コマンド> [オプション]\n"
                               "\n"
                               "  --help       このヘルプを表示\n"
                               "  --version    バージョンを表示\n"
                               "  templates    プロンプトテンプレートの一覧・適用・取り込み (templates --help で詳細)\n";

} // namespace

int main(int argc, char **argv)
{
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("velkaro-backup-cli %s\n", VELKARO_VERSION);
        return 0;
    }
    if (command == "templates")
        return runTemplatesCommand(std::vector<std::string>(argv + 2, argv + argc));
    std::fputs(kUsage, stderr);
    return 2;
}
