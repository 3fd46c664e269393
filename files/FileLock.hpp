// Scoped, exclusive, inter-process lock named after a resource (see files/file_lock.h).
//
// Construction waits until the lock is free and takes it; destruction releases it. Two
// FileLock objects of one process on the same name would wait for each other: do not nest.
//
// SharedFileLock is the reader's side: it holds the same lock shared, so that it waits for a
// writer and lets other readers in, and only when the lock file exists already. It never
// creates, truncates or otherwise changes the file.
//
// DIAGNOSTICS: the constructor raises through throwSystemError with the error of the failed
// open or flock (a missing lock directory gives ExSystemError<2>), after the open failure
// has been printed. The destructor raises nothing.
#pragma once

#include "lib/base/Descriptor.hpp"

#include <memory>
#include <string>

struct file_lock;

namespace corvo {

// Move-only: the lock belongs to one owner; a moved-from FileLock holds nothing.
class FileLock {
public:
    explicit FileLock(const std::string& name);

private:
    // Releases the handle (file_lock_release): closes its descriptor, which ends the lock.
    struct Release {
        void operator()(file_lock* lock) const noexcept;
    };
    std::unique_ptr<file_lock, Release> lock_;
};

class SharedFileLock {
public:
    // Raises "lock() failed" like FileLock, except when the lock file does not exist.
    explicit SharedFileLock(const std::string& name);

    // False when there was no lock file to hold.
    bool held() const { return fd_.isOpen(); }

private:
    Descriptor fd_; // closing it ends the lock
};

} // namespace corvo
