// Recursive ownership and mode walk. Both walks share one traversal, and it works on opened
// descriptors only: each entry's status is read without following links (fstatat relative
// to its open directory), a regular file or directory is opened without following links and
// changed through that descriptor (fchown, fchmod), and a directory is listed through its
// own descriptor. An entry that someone swaps for a symbolic link between the status and the
// change is therefore never followed: the open fails with ELOOP and the link is left alone,
// as links always are. The process's working directory is never changed.
//
// Each failure message names the walk's own operation.
#include "files/tree_modes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diagnostics/log.h"

namespace {

enum tree_operation { TREE_CHOWN, TREE_CHMOD };

struct tree_change {
    tree_operation operation;
    uid_t uid;
    gid_t gid;
    mode_t file_mode;
    mode_t dir_mode;
};

const int open_file_flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
const int open_dir_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The walk's message for a regular file it cannot change: the path given to the walk (top)
// or an entry inside a directory.
[[noreturn]] void file_failed(const tree_change* change, const char* name, bool top) {
    if (change->operation == TREE_CHOWN) {
        message_exit(1, "Unable to chown directory entry %s: %s\n", name, std::strerror(errno));
    }
    message_exit(1,
                 top ? "Unable to chmod entry %s: %s\n" : "Unable to chmod directory entry %s: %s\n",
                 name, std::strerror(errno));
    __builtin_unreachable();
}

void change_file(const tree_change* change, int fd, const char* name, bool top) {
    const int status = change->operation == TREE_CHOWN ? fchown(fd, change->uid, change->gid)
                                                       : fchmod(fd, change->file_mode);
    if (status != 0) {
        file_failed(change, name, top);
    }
}

void change_directory(const tree_change* change, int fd, const char* name) {
    if (change->operation == TREE_CHOWN) {
        if (fchown(fd, change->uid, change->gid) != 0) {
            message_exit(1, "Unable to chown dir %s: %s\n", name, std::strerror(errno));
        }
    } else if (fchmod(fd, change->dir_mode) != 0) {
        message_exit(1, "Unable to chmod dir %s: %s\n", name, std::strerror(errno));
    }
}

// Opens a regular file found by fstatat and changes it; -1 from openat with ENOENT (it has
// vanished) or ELOOP (it is a link now), or a file that is no longer regular, is left alone.
void change_regular_file(const tree_change* change, int directory, const char* name, bool top) {
    const int fd = openat(directory, name, open_file_flags);
    if (fd < 0) {
        if (errno == ENOENT || errno == ELOOP) {
            return;
        }
        file_failed(change, name, top);
    }
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        change_file(change, fd, name, top);
    }
    close(fd);
}

// Walks the open directory (the descriptor is taken over and closed here), then changes the
// directory itself when include_top is 1.
void walk_directory(int fd, const char* path, const tree_change* change, int include_top) {
    DIR* directory = fdopendir(fd);
    if (directory == nullptr) {
        message_exit(1, "Unable to open dir %s: %s\n", path, std::strerror(errno));
    }
    const int parent = dirfd(directory);
    while (const dirent* entry = readdir(directory)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        struct stat status;
        if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                continue; // vanished since the directory was read
            }
            message_exit(1, "Unable to check directory entry %s: %s\n", name, std::strerror(errno));
        }
        if (S_ISDIR(status.st_mode)) {
            const int subdirectory = openat(parent, name, open_dir_flags);
            if (subdirectory >= 0) {
                walk_directory(subdirectory, name, change, 1);
            } else if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR) {
                message_exit(1, "Unable to open dir %s: %s\n", name, std::strerror(errno));
            }
        } else if (S_ISREG(status.st_mode)) {
            change_regular_file(change, parent, name, false);
        }
    }
    if (include_top == 1) {
        change_directory(change, parent, path);
    }
    if (closedir(directory) != 0) {
        message_exit(1, "Unable to close dir %s: %s\n", path, std::strerror(errno));
    }
}

void walk_tree(const char* path, const tree_change* change, int include_top) {
    struct stat status;
    if (fstatat(AT_FDCWD, path, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            message_warning("Directory entry %s doesn't exist: %s\n", path, std::strerror(errno));
            return;
        }
        message_exit(1, "Unable to get entry %s: %s\n", path, std::strerror(errno));
    }
    if (S_ISLNK(status.st_mode)) {
        return;
    }
    if (S_ISREG(status.st_mode)) {
        change_regular_file(change, AT_FDCWD, path, true);
        return;
    }
    const int fd = open(path, open_dir_flags);
    if (fd < 0) {
        if (errno == ELOOP) {
            return; // swapped for a link since its status was read
        }
        message_exit(1, "Unable to open dir %s: %s\n", path, std::strerror(errno));
    }
    walk_directory(fd, path, change, include_top);
}

} // namespace

int chown_tree(const char* path, uid_t uid, gid_t gid, int include_top) {
    const tree_change change = {TREE_CHOWN, uid, gid, 0, 0};
    walk_tree(path, &change, include_top);
    return 0;
}

int chmod_tree(const char* path, mode_t file_mode, mode_t dir_mode, int include_top) {
    const tree_change change = {TREE_CHMOD, 0, 0, file_mode, dir_mode};
    walk_tree(path, &change, include_top);
    return 0;
}

int set_tree_owner_and_modes(const char* path, uid_t uid, gid_t gid, mode_t file_mode,
                             mode_t dir_mode, int include_top) {
    chown_tree(path, uid, gid, include_top);
    chmod_tree(path, file_mode, dir_mode, include_top);
    return 0;
}
