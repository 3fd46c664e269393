// Error classes: the lazily composed system error text and the choice of the typed
// system errors.
#include "diagnostics/Errors.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace corvo {

SystemError::SystemError(const std::string& message, int error)
    : std::runtime_error(message), error_(error != 0 ? error : errno) {}

const char* SystemError::what() const noexcept {
    if (description_.empty()) {
        try {
            const std::string message = std::runtime_error::what();
            description_ = message.empty() ? std::strerror(error_)
                                           : message + ": " + std::strerror(error_);
        } catch (...) {
            return std::runtime_error::what();
        }
    }
    return description_.c_str();
}

template class ExSystemError<1>;
template class ExSystemError<2>;
template class ExSystemError<4>;
template class ExSystemError<10>;
template class ExSystemError<11>;

void throwSystemError(const std::string& message, int error) {
    switch (error) {
    case 1:
        throw ExSystemError<1>(message);
    case 2:
        throw ExSystemError<2>(message);
    case 4:
        throw ExSystemError<4>(message);
    case 10:
        throw ExSystemError<10>(message);
    case 11:
        throw ExSystemError<11>(message);
    default:
        throw SystemError(message, error);
    }
}

namespace mail {

FSError::FSError(const std::string& operation, const std::filesystem::path& path, int error)
    : std::filesystem::filesystem_error(
          operation, path, std::error_code(error != 0 ? error : ECANCELED, std::system_category())) {}

} // namespace mail
} // namespace corvo
