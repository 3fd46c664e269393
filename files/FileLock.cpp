// Scoped named lock over the lock handle of files/file_lock.h.
#include "files/FileLock.hpp"

#include <cerrno>

#include "diagnostics/Errors.hpp"
#include "files/file_lock.h"

namespace corvo {

FileLock::FileLock(const std::string& name) {
    errno = 0;
    lock_ = file_lock_exclusive(name.c_str(), 1);
    if (lock_ == nullptr || lock_->fd < 0) {
        int error = errno;
        file_lock_release(lock_);
        throwSystemError("lock() failed", error);
    }
}

FileLock::~FileLock() {
    file_lock_release(lock_);
}

} // namespace corvo
