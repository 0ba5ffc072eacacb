#include "Platform/Error.h"
#include "Platform/QuotedName.h"

#include <cerrno>
#include <cstring>

namespace velkaro {

std::string describeErrno(int e)
{
    switch (e) {
    case EACCES:
    case EPERM:
        return "アクセス権がありません";
    case ENOENT:
        return "ファイルまたはフォルダが見つかりません";
    case EEXIST:
        return "同じ名前の項目がすでにあります";
    case ENOTDIR:
        return "フォルダではありません";
    case EISDIR:
        return "フォルダなので扱えません";
    case ENOSPC:
        return "ディスクの空き容量が足りません";
    case EDQUOT:
        return "ディスク使用量の上限に達しています";
    case EROFS:
        return "読み取り専用の場所には書き込めません";
    case ENAMETOOLONG:
        return "パスが長すぎます";
    case ELOOP:
        return "シンボリックリンクの参照が多すぎます";
    case ENOTEMPTY:
        return "フォルダが空ではありません";
    case EBUSY:
        return "使用中のため処理できません";
    case EIO:
        return "入出力エラーが発生しました";
    case EBADF:
        return "閉じられているか、書き込みできない出力先です";
    case EMFILE:
    case ENFILE:
        return "開いているファイルが多すぎます";
    case EINVAL:
        return "無効な引数です";
    case EXDEV:
        return "別のデバイスへは移動できません";
    case EILSEQ:
        return "文字コードが正しくありません (UTF-8 ではありません)";
    case EWOULDBLOCK:
        return "別の処理が使用中です";
    default:
        return std::strerror(e);
    }
}

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

Error systemError(std::error_code ec, const std::filesystem::path &path)
{
    std::string text = ec.category() == std::generic_category() || ec.category() == std::system_category()
        ? describeErrno(ec.value())
        : ec.message();
    if (!path.empty())
        text += ": " + quotedName(path.native());
    return Error {kSystemErrorDomain, ec.value(), std::move(text)};
}

} // namespace velkaro
