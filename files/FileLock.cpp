// Scoped named lock over the lock handle of files/file_lock.h.
#include "files/FileLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

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

SharedFileLock::SharedFileLock(const std::string& name) {
    const std::unique_ptr<char, decltype(&std::free)> path(lock_file_path(name.c_str()),
                                                           &std::free);
    do {
        fd_ = lock_file_open(path.get(), O_RDONLY);
    } while (fd_ == -1 && errno == EINTR);
    if (fd_ < 0) {
        const int error = errno;
        fd_ = -1;
        if (error == ENOENT)
            return;
        throwSystemError("lock() failed", error);
    }
    int status;
    do {
        status = ::flock(fd_, LOCK_SH);
    } while (status != 0 && errno == EINTR);
    if (status != 0) {
        const int error = errno;
        ::close(fd_);
        fd_ = -1;
        throwSystemError("lock() failed", error);
    }
}

SharedFileLock::~SharedFileLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace corvo
