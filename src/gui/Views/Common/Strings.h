#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace velkaro {

// The core speaks UTF-8 in std::string; the views cross over with these two.

inline QString qs(std::string_view text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

inline std::string ss(const QString &text)
{
    return text.toUtf8().toStdString();
}

} // namespace velkaro
