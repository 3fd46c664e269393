// Named inter-process file locks.
//
// A resource name N is locked through the lock file "/run/lock/files/<md5(N)>", the digest
// written as 32 lower-case hexadecimal digits, so every process that names the resource
// the same way meets the same lock. Locks are flock(2) locks: advisory, owned by the open
// file, released when its descriptor is closed or the process ends. The lock directory must
// exist and be a real directory (not a symbolic link) owned by root and writable by nobody
// else; lock files are opened without following symbolic links, created empty (truncated on
// every open) and never removed.
//
// DIAGNOSTICS: lock_file_path ends the process (status 1) when the path cannot be allocated.
// Every other failure is returned: file_lock_open returns null when the handle cannot be
// allocated, and a handle whose descriptor is negative (0 for EAGAIN) when opening or
// locking failed, with errno set; file_lock_release returns -1. A failed open or close, and a
// lock directory refused for what it is (a link, not a directory, another owner, writable by
// others), are also printed through the message routine, which then returns.
#pragma once

// The lock handle: the open lock file while the lock is held, and its path (owned).
struct file_lock {
    int fd;
    char* path;
};

// "/run/lock/files/" followed by the MD5 hex digest of name; malloc'ed, release with free.
char* lock_file_path(const char* name);

// What lock_file_open returns when it refused the lock directory.
inline constexpr int LOCK_DIRECTORY_REFUSED = -2;

// Opens path, a lock file path from lock_file_path, through the checked lock directory, with
// flags (close-on-exec and no-follow always added) and mode 0644. Returns the descriptor;
// -1 with errno when the directory or the file cannot be opened (nothing printed: ENOENT
// for either missing); or LOCK_DIRECTORY_REFUSED with errno after printing why.
int lock_file_open(const char* path, int flags);

// Opens the lock file of name (with in_lock_dir set) or the file name itself, with flags
// (close-on-exec is always added) and mode 0644, then applies flock(operation). Returns the
// handle, or null when it cannot be allocated.
file_lock* file_lock_open(const char* name, int flags, int operation, int in_lock_dir);

// file_lock_open with O_RDWR | O_CREAT | O_TRUNC and LOCK_EX: waits while another open
// file holds the lock.
file_lock* file_lock_exclusive(const char* name, int in_lock_dir);

// Closes the descriptor (ending the lock) and frees the handle. Returns 0, or -1 for a null
// handle or a failed close.
int file_lock_release(file_lock* lock);
