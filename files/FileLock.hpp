// Scoped, exclusive, inter-process lock named after a resource (see files/file_lock.h).
//
// Construction waits until the lock is free and takes it; destruction releases it. Two
// FileLock objects of one process on the same name would wait for each other: do not nest.
//
// DIAGNOSTICS: the constructor raises "lock() failed" through throwSystemError with the
// error of the failed open or flock (a missing lock directory gives ExSystemError<2>), after
// the open failure has been printed. The destructor raises nothing.
#pragma once

#include <string>

struct file_lock;

namespace corvo {

class FileLock {
public:
    explicit FileLock(const std::string& name);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    file_lock* lock_;
};

} // namespace corvo
