// Error classes of the tool.
//
// Every failure travels as one of these (or a standard exception) up to the entry, which
// prints "Fatal error: <demangled type>(<what()>)" or, for CorvoUtilException, the bare
// message. The type names are therefore part of the tool's output.
//
// DIAGNOSTICS: throwSystemError always raises. SystemError::what() never throws; when its
// text cannot be composed it returns the bare message.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace corvo {

// A failure the tool detected in its own state; reported without decoration.
class CorvoUtilException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failed system call: what() is "<message>: <strerror(error)>", or the bare strerror
// text for an empty message. Error number 0 stands for the errno current at construction.
class SystemError : public std::runtime_error {
public:
    explicit SystemError(const std::string& message, int error = 0);
    int error() const noexcept { return error_; }
    const char* what() const noexcept override;

private:
    int error_;
    mutable std::string description_;
};

// A system error that callers may catch by its number (EPERM, ENOENT, EINTR, ECHILD, EAGAIN).
template <int N> class ExSystemError : public SystemError {
public:
    explicit ExSystemError(const std::string& message) : SystemError(message, N) {}
};
extern template class ExSystemError<1>;
extern template class ExSystemError<2>;
extern template class ExSystemError<4>;
extern template class ExSystemError<10>;
extern template class ExSystemError<11>;

// Raises ExSystemError<error> for 1, 2, 4, 10 and 11, else SystemError(message, error);
// the choice is made on the number as passed, before 0 becomes errno.
[[noreturn]] void throwSystemError(const std::string& message, int error);

namespace mail {

// A failed ownership or mode change: the standard file system error for the operation,
// the path and the error number (0 becomes ECANCELED).
class FSError : public std::filesystem::filesystem_error {
public:
    FSError(const std::string& operation, const std::filesystem::path& path, int error);
};

namespace postfix {

class PostfixError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A postmap delete failed; the message is postmap's standard error, possibly empty.
class PostfixDatabaseError : public PostfixError {
public:
    using PostfixError::PostfixError;
};

// A postmap insert failed; the message is postmap's standard error or "unknown error".
class PostfixConfigurationError : public PostfixError {
public:
    using PostfixError::PostfixError;
};

} // namespace postfix
} // namespace mail
} // namespace corvo
