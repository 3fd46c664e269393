// Named inter-process file locks: lock file naming, opening and locking, release.
#include "files/file_lock.h"

// The digest uses libcrypto's MD5 interface, which is marked deprecated since 3.0; the
// name of a lock file must stay byte for byte what every other locker computes.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/md5.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "diagnostics/log.h"
#include "diagnostics/system_log.h"
#include "lib/base/eintr.h"
#include "lib/base/file_type.h"

namespace {

const char* const lock_directory = "/run/lock/files";

// Prints why the lock directory or a lock file (`what`, named by its path) is refused and
// leaves error in errno.
int refuse(const char* what, const char* path, int error, const char* reason) {
    errno = error;
    message_warning("%s \"%s\" refused: %s.", what, path, reason);
    errno = error;
    return LOCK_REFUSED;
}

int refuse_lock_directory(int error, const char* reason) {
    return refuse("Lock directory", lock_directory, error, reason);
}

// Refuses an open lock file that anyone but root could have planted or that names another
// file too: only a regular file owned by root with one link is a lock file. Returns fd, or
// LOCK_REFUSED (fd closed) after printing why.
int checked_lock_file(const char* path, int fd) {
    struct stat status;
    char reason[96];
    int error = 0;
    if (fstat(fd, &status) != 0) {
        error = errno;
        std::snprintf(reason, sizeof reason, "its status cannot be read (%s)",
                      std::strerror(error));
    } else if (!S_ISREG(status.st_mode)) {
        error = S_ISDIR(status.st_mode) ? EISDIR : EPERM;
        std::snprintf(reason, sizeof reason, "it is %s", file_type_name(status.st_mode));
    } else if (status.st_uid != 0) {
        error = EPERM;
        std::snprintf(reason, sizeof reason, "it is owned by uid %u, not by root",
                      static_cast<unsigned>(status.st_uid));
    } else if (status.st_nlink != 1) {
        error = EPERM;
        std::snprintf(reason, sizeof reason, "it has %ju links, not one",
                      static_cast<std::uintmax_t>(status.st_nlink));
    }
    if (error != 0) {
        close(fd);
        return refuse("Lock file", path, error, reason);
    }
    // Non-blocking only for the open: the lock file itself is read by nobody.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
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
            return S_ISLNK(link.st_mode) ? refuse_lock_directory(ELOOP, "it is a symbolic link")
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
        std::snprintf(reason, sizeof reason, "its status cannot be read (%s)",
                      std::strerror(error));
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
    const char* name = std::strrchr(path, '/') + 1;
    const int fd = openat(directory, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd >= 0) {
        close(directory);
        return checked_lock_file(path, fd);
    }
    // A link, a directory or a socket under the lock name cannot even be opened: say what
    // was planted there rather than how the open failed.
    const int error = errno;
    struct stat planted;
    const bool known =
        (error == ELOOP || error == EISDIR || error == ENXIO || error == EOPNOTSUPP) &&
        fstatat(directory, name, &planted, AT_SYMLINK_NOFOLLOW) == 0;
    close(directory);
    if (known)
        {
        char reason[64];
        std::snprintf(reason, sizeof reason, "it is %s", file_type_name(planted.st_mode));
        return refuse("Lock file", path, error, reason);
    }
    errno = error;
    return -1;
}

namespace {

void note_timer(int) {}

long elapsed_ms(const timespec& since) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

} // namespace

int flock_within(int fd, int operation, long milliseconds) {
    if (flock(fd, operation | LOCK_NB) == 0)
        return 0;
    if (errno != EWOULDBLOCK)
        return -1;
    // A blocking flock keeps the kernel's queue of waiters; a timer signal without
    // SA_RESTART ends it at the bound. The timer repeats every 100 ms after its first
    // expiry, so a signal that came just before flock started waiting is not the last.
    struct sigaction quiet {};
    quiet.sa_handler = note_timer;
    sigemptyset(&quiet.sa_mask);
    struct sigaction previous {};
    sigaction(SIGALRM, &quiet, &previous);
    sigset_t alarm_only;
    sigset_t previous_mask;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm_only, &previous_mask);
    itimerval timer{};
    timer.it_value.tv_sec = milliseconds / 1000;
    timer.it_value.tv_usec = static_cast<suseconds_t>(milliseconds % 1000 * 1000);
    if (milliseconds <= 0)
        timer.it_value.tv_usec = 1;
    timer.it_interval.tv_usec = 100000;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    itimerval previous_timer{};
    setitimer(ITIMER_REAL, &timer, &previous_timer);

    int result;
    int error = 0;
    while ((result = flock(fd, operation)) != 0) {
        error = errno;
        if (error != EINTR)
            break;
        if (elapsed_ms(start) >= milliseconds) {
            error = ETIMEDOUT;
            break;
        }
    }
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
    if (previous_timer.it_value.tv_sec != 0 || previous_timer.it_value.tv_usec != 0)
        setitimer(ITIMER_REAL, &previous_timer, nullptr);
    errno = error;
    return result == 0 ? 0 : -1;
}

void lock_holder(int fd, char* text, size_t size) {
    std::snprintf(text, size, "an unknown process");
    struct stat status;
    if (fstat(fd, &status) != 0)
        return;
    FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr)
        return;
    // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:5678 0 EOF"; a waiter's line has "->" after the
    // number and is passed over: it holds nothing. Under an overlay the line names the device
    // of the file system beneath it, so a line with the inode alone counts when it is the only
    // one.
    char line[256];
    long pid = 0;
    long same_inode = 0;
    int same_inode_lines = 0;
    while (pid <= 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        long number = 0;
        unsigned major_number = 0;
        unsigned minor_number = 0;
        unsigned long inode = 0;
        if (std::strstr(line, "->") != nullptr ||
            std::sscanf(line, "%*d: %*s %*s %*s %ld %x:%x:%lu", &number, &major_number,
                        &minor_number, &inode) != 4 ||
            inode != status.st_ino)
            continue;
        if (major_number == major(status.st_dev) && minor_number == minor(status.st_dev))
            pid = number;
        else if (same_inode_lines++ == 0)
            same_inode = number;
    }
    if (pid <= 0 && same_inode_lines == 1)
        pid = same_inode;
    std::fclose(locks);
    if (pid <= 0)
        return;
    char command[64] = "";
    char comm_path[64];
    std::snprintf(comm_path, sizeof comm_path, "/proc/%ld/comm", pid);
    if (FILE* comm = std::fopen(comm_path, "re")) {
        if (std::fgets(command, sizeof command, comm) != nullptr)
            command[std::strcspn(command, "\n")] = '\0';
        std::fclose(comm);
    }
    if (command[0] != '\0')
        std::snprintf(text, size, "process %ld (%s)", pid, command);
    else
        std::snprintf(text, size, "process %ld", pid);
}

namespace {

// flock(operation); a blocking wait that lasts past lock_wait_notice_ms leaves one system log
// record saying who holds the lock, then goes on waiting.
int take_lock(const char* name, const file_lock& lock, int operation) {
    if ((operation & LOCK_NB) != 0)
        return retry_eintr([&] { return flock(lock.fd, operation); });
    if (flock_within(lock.fd, operation, lock_wait_notice_ms) == 0)
        return 0;
    if (errno != ETIMEDOUT)
        return -1;
    char holder[128];
    lock_holder(lock.fd, holder, sizeof holder);
    char* record = format_alloc("Waiting for the lock of %s (lock file %s): held by %s for more "
                                "than %ld s",
                                name, lock.path, holder, lock_wait_notice_ms / 1000);
    system_log_warning(record);
    std::free(record);
    return retry_eintr([&] { return flock(lock.fd, operation); });
}

} // namespace

file_lock* file_lock_open(const char* name, int flags, int operation, int in_lock_dir) {
    auto* lock = static_cast<file_lock*>(std::calloc(1, sizeof(file_lock)));
    if (lock == nullptr) {
        return nullptr;
    }
    lock->path = in_lock_dir != 0 ? lock_file_path(name) : format_alloc("%s", name);

    // Close-on-exec: the tool runs children while it holds a lock, and none may keep it
    // alive after the tool released it; the lock is held for postmap only by a keeper
    // process that ends with postmap. No symbolic link is followed, in
    // the lock directory or elsewhere.
    lock->fd = in_lock_dir != 0 ? lock_file_open(lock->path, flags)
                                : open(lock->path, flags | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (lock->fd == LOCK_REFUSED) {
        lock->fd = -1; // the reason has been printed
        return lock;
    }
    if (lock->fd < 0) {
        int error = errno;
        message_warning("Unable to open file \"%s\": %s.", lock->path, std::strerror(error));
        errno = error;
        return lock;
    }
    if (take_lock(name, *lock, operation) != 0) {
        int error = errno;
        close(lock->fd);
        lock->fd = error == EAGAIN ? 0 : -1;
        errno = error;
    }
    return lock;
}

file_lock* file_lock_exclusive(const char* name, int in_lock_dir) {
    return file_lock_open(name, O_RDWR | O_CREAT, LOCK_EX, in_lock_dir);
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
