// Named inter-process file locks.
//
// A resource name N is locked through the lock file "/run/lock/files/<md5(N)>", the digest
// written as 32 lower-case hexadecimal digits, so every process that names the resource
// the same way meets the same lock. Locks are flock(2) locks: advisory, owned by the open
// file, released when its descriptor is closed or the process ends. The lock directory must
// exist and be a real directory (not a symbolic link) owned by root and writable by nobody
// else. Lock files are opened without following symbolic links and without blocking (a FIFO
// planted under a lock name would otherwise hold the open), never truncated (a planted hard
// link must not cost its target's contents), created empty and never removed; once open,
// anything but a regular file owned by root with one link is refused.
//
// A wait for a lock never gives up by itself; past lock_wait_notice_ms it leaves one record
// in the system log naming the resource, the lock file and the process that holds it (from
// /proc/locks), so that a restore that hangs says why. Standard output and error are not
// touched by that record.
//
// DIAGNOSTICS: lock_file_path ends the process (status 1) when the path cannot be allocated.
// Every other failure is returned: file_lock_open returns null when the handle cannot be
// allocated, and a handle whose descriptor is negative (0 for EAGAIN) when opening or
// locking failed, with errno set; file_lock_release returns -1. A failed open or close, and a
// lock directory or lock file refused for what it is (a link, not a directory, a FIFO, a
// socket, another owner, more than one link, writable by others), are also printed through
// the message routine, which then returns.
#pragma once

#include <sys/types.h>

// The lock handle: the open lock file while the lock is held, and its path (owned).
struct file_lock {
    int fd;
    char* path;
};

// "/run/lock/files/" followed by the MD5 hex digest of name; malloc'ed, release with free.
char* lock_file_path(const char* name);

// What lock_file_open returns when it refused the lock directory or the lock file.
inline constexpr int LOCK_REFUSED = -2;

// How long an exclusive wait lasts before it says in the system log who holds the lock.
inline constexpr long lock_wait_notice_ms = 5000;

// Opens path, a lock file path from lock_file_path, through the checked lock directory, with
// flags (close-on-exec, no-follow and, for the open only, non-blocking always added) and mode
// 0644. Returns the descriptor of a regular file owned by root with one link; -1 with errno
// when the directory or the file cannot be opened (nothing printed: ENOENT for either
// missing); or LOCK_REFUSED with errno after printing why (one line naming the lock
// directory or the lock file and saying what it is).
int lock_file_open(const char* path, int flags);

// flock(fd, operation) that waits at most milliseconds: 0 when the lock was taken; -1 with
// errno ETIMEDOUT when it stayed held that long, or with the errno of a failed flock. The wait
// is interrupted by a timer signal of its own (SIGALRM), whose disposition, mask and timer
// are as before on return.
int flock_within(int fd, int operation, long milliseconds);

// Who holds a lock on the file open on fd, from /proc/locks (matched by device and inode):
// "process PID (COMMAND)", or "process PID" when its command cannot be read, written into
// text (size bytes); "an unknown process" when /proc/locks names none.
void lock_holder(int fd, char* text, size_t size);

// Opens the lock file of name (with in_lock_dir set) or the file name itself, with flags
// (close-on-exec is always added) and mode 0644, then applies flock(operation); a blocking
// wait leaves its system log record past lock_wait_notice_ms. Returns the handle, or null
// when it cannot be allocated.
file_lock* file_lock_open(const char* name, int flags, int operation, int in_lock_dir);

// file_lock_open with O_RDWR | O_CREAT and LOCK_EX: waits while another open
// file holds the lock.
file_lock* file_lock_exclusive(const char* name, int in_lock_dir);

// Closes the descriptor (ending the lock) and frees the handle. Returns 0, or -1 for a null
// handle or a failed close.
int file_lock_release(file_lock* lock);
