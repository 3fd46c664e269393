// Named inter-process file locks: lock file naming, opening and locking, release.
#include "files/file_lock.h"

// The digest uses libcrypto's MD5 interface, which is marked deprecated since 3.0; the
// name of a lock file must stay byte for byte what every other locker computes.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/md5.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diagnostics/log.h"
#include "lib/base/eintr.h"

namespace {

const char* const lock_directory = "/run/lock/files";

// Prints why the lock directory is refused and leaves error in errno.
int refuse_lock_directory(int error, const char* reason) {
    errno = error;
    message_warning("Lock directory \"%s\" refused: %s.", lock_directory, reason);
    errno = error;
    return LOCK_DIRECTORY_REFUSED;
}

// Opens the lock directory as the parent of a lock file. Anyone who can write to it, or
// replace it by a link, chooses what root opens, creates and truncates there; so it must be
// a real directory (not a symbolic link), owned by root and writable by nobody else.
// Returns its descriptor; -1 with errno when it cannot be opened (nothing printed); or
// LOCK_DIRECTORY_REFUSED with errno after printing the reason.
int open_lock_directory() {
    const int directory = open(lock_directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) {
        const int error = errno;
        struct stat link;
        if ((error == ELOOP || error == ENOTDIR) && lstat(lock_directory, &link) == 0) {
            return S_ISLNK(link.st_mode)
                       ? refuse_lock_directory(ELOOP, "it is a symbolic link")
                       : refuse_lock_directory(ENOTDIR, "it is not a directory");
        }
        errno = error;
        return -1;
    }
    struct stat status;
    char reason[96];
    if (fstat(directory, &status) != 0) {
        const int error = errno;
        close(directory);
        std::snprintf(reason, sizeof reason, "its status cannot be read (%s)", std::strerror(error));
        return refuse_lock_directory(error, reason);
    }
    if (status.st_uid != 0) {
        close(directory);
        std::snprintf(reason, sizeof reason, "it is owned by uid %u, not by root",
                      static_cast<unsigned>(status.st_uid));
        return refuse_lock_directory(EPERM, reason);
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(directory);
        std::snprintf(reason, sizeof reason, "it is writable by its group or by others (mode %04o)",
                      static_cast<unsigned>(status.st_mode & 07777));
        return refuse_lock_directory(EPERM, reason);
    }
    return directory;
}

} // namespace

char* lock_file_path(const char* name) {
    // The digest is taken over an empty prefix followed by the name.
    const std::size_t digest_length = MD5_DIGEST_LENGTH;
    unsigned char digest[digest_length];
    MD5_CTX context;
    MD5_Init(&context);
    MD5_Update(&context, "", 0);
    MD5_Update(&context, name, std::strlen(name));
    MD5_Final(digest, &context);

    static const char hex_digits[] = "0123456789abcdef";
    char hex[2 * digest_length + 1];
    for (std::size_t i = 0; i < digest_length; ++i) {
        hex[2 * i] = hex_digits[digest[i] >> 4];
        hex[2 * i + 1] = hex_digits[digest[i] & 0x0f];
    }
    hex[2 * digest_length] = '\0';
    return format_alloc("%s/%s", lock_directory, hex);
}

int lock_file_open(const char* path, int flags) {
    const int directory = open_lock_directory();
    if (directory < 0) {
        return directory;
    }
    const int fd = openat(directory, std::strrchr(path, '/') + 1,
                          flags | O_NOFOLLOW | O_CLOEXEC, 0644);
    const int error = errno;
    close(directory);
    errno = error;
    return fd;
}

file_lock* file_lock_open(const char* name, int flags, int operation, int in_lock_dir) {
    auto* lock = static_cast<file_lock*>(std::calloc(1, sizeof(file_lock)));
    if (lock == nullptr) {
        return nullptr;
    }
    lock->path = in_lock_dir != 0 ? lock_file_path(name) : format_alloc("%s", name);

    // Close-on-exec: the tool runs children (postmap among them) while it holds a lock; a
    // descriptor inherited by a child would keep the lock alive after the tool released it.
    // No symbolic link is followed, in the lock directory or elsewhere.
    lock->fd = in_lock_dir != 0 ? lock_file_open(lock->path, flags)
                                : open(lock->path, flags | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (lock->fd == LOCK_DIRECTORY_REFUSED) {
        lock->fd = -1; // the reason has been printed
        return lock;
    }
    if (lock->fd < 0) {
        int error = errno;
        message_warning("Unable to open file \"%s\": %s.", lock->path, std::strerror(error));
        errno = error;
        return lock;
    }
    if (retry_eintr([&] { return flock(lock->fd, operation); }) != 0) {
        int error = errno;
        close(lock->fd);
        lock->fd = error == EAGAIN ? 0 : -1;
        errno = error;
    }
    return lock;
}

file_lock* file_lock_exclusive(const char* name, int in_lock_dir) {
    return file_lock_open(name, O_RDWR | O_CREAT | O_TRUNC, LOCK_EX, in_lock_dir);
}

int file_lock_release(file_lock* lock) {
    if (lock == nullptr) {
        return -1;
    }
    int result = 0;
    if (lock->fd > 0 && close(lock->fd) != 0) {
        // "occured", the quotes and the line feed are part of the tool's output: keep.
        message_warning("An error occured during closing '%s' file: %s\n", lock->path,
                     std::strerror(errno));
        result = -1;
    }
    std::free(lock->path);
    std::free(lock);
    return result;
}
