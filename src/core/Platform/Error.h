#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <system_error>

namespace velkaro {

// An error as the user gets to read it: the description is Japanese and names the path involved.
struct Error
{
    std::string domain;
    int code = 0;
    std::string description;

    bool operator==(const Error &) const = default;
};

template<class T> using Result = std::expected<T, Error>;

// Domain of errors that come from the operating system; the code is the errno value.
inline constexpr const char *kSystemErrorDomain = "POSIX";

// A system error with a Japanese description of `ec`, naming `path` when one is given.
Error systemError(std::error_code ec, const std::filesystem::path &path = {});

// The error of the system call that just failed (errno).
std::error_code lastError();

// Japanese text for an errno value (falls back to the C library's own text).
std::string describeErrno(int errnoValue);

} // namespace velkaro
