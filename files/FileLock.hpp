// Scoped, exclusive, inter-process lock named after a resource (see files/file_lock.h).
//
// Construction waits until the lock is free and takes it; destruction releases it. Two
// FileLock objects of one process on the same name would wait for each other: do not nest.
//
// SharedFileLock is the reader's side: it holds the same lock shared, so that it waits for a
// writer and lets other readers in, and only when the lock file exists already. It never
// creates, truncates or otherwise changes the file, and it waits at most kSharedLockWaitMs:
// past that it holds nothing and names the process that holds the lock.
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

    // The open lock file: a process given a descriptor of its own on it holds the lock too,
    // for as long as that descriptor lives, whatever becomes of the tool.
    int descriptor() const;

private:
    // Releases the handle (file_lock_release): closes its descriptor, which ends the lock.
    struct Release {
        void operator()(file_lock* lock) const noexcept;
    };
    std::unique_ptr<file_lock, Release> lock_;
};

// How long a reader waits for a writer's lock before it gives up on the resource.
inline constexpr long kSharedLockWaitMs = 3000;

class SharedFileLock {
public:
    // Raises "lock() failed" like FileLock, except when the lock file does not exist or the
    // lock stays held past kSharedLockWaitMs.
    explicit SharedFileLock(const std::string& name);

    // False when there was no lock file to hold, or the wait gave up.
    bool held() const { return fd_.isOpen(); }

    // Who held the lock when the wait gave up ("process PID (COMMAND)"); empty otherwise.
    const std::string& busyHolder() const { return holder_; }

private:
    Descriptor fd_; // closing it ends the lock
    std::string holder_;
};

} // namespace corvo
