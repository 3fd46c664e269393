// Scoped named lock over the lock handle of files/file_lock.h.
#include "files/FileLock.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>

#include "diagnostics/Errors.hpp"
#include "files/file_lock.h"
#include "lib/base/eintr.h"

namespace corvo {

void FileLock::Release::operator()(file_lock* lock) const noexcept {
    file_lock_release(lock);
}

FileLock::FileLock(const std::string& name) {
    errno = 0;
    lock_.reset(file_lock_exclusive(name.c_str(), 1));
    if (lock_ == nullptr || lock_->fd < 0) {
        const int error = errno;
        lock_.reset();
        throwSystemError("lock() failed", error);
    }
}

int FileLock::descriptor() const {
    return lock_->fd;
}

SharedFileLock::SharedFileLock(const std::string& name) {
    const std::unique_ptr<char, decltype(&std::free)> path(lock_file_path(name.c_str()),
                                                           &std::free);
    Descriptor opened(retry_eintr([&] { return lock_file_open(path.get(), O_RDONLY); }));
    if (!opened.isOpen()) {
        const int error = errno;
        if (error == ENOENT)
            return;
        throwSystemError("lock() failed", error);
    }
    if (flock_within(opened.get(), LOCK_SH, kSharedLockWaitMs) != 0) {
        const int error = errno;
        if (error != ETIMEDOUT)
            throwSystemError("lock() failed", error);
        char holder[128];
        lock_holder(opened.get(), holder, sizeof holder);
        holder_ = holder;
        return;
    }
    fd_ = std::move(opened);
}

} // namespace corvo
