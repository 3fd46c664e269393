// Recursive ownership and mode walk. Both walks share one traversal: status of the entry
// without following links, then for a directory: remember the working directory, enter the
// directory, handle each entry by its relative name, return, and finally change the
// directory itself when asked. Each failure message names the walk's own operation.
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

// A regular file: the path given to the walk (top) or an entry inside a directory.
void change_file(const tree_change* change, const char* name, bool top) {
    if (change->operation == TREE_CHOWN) {
        if (chown(name, change->uid, change->gid) != 0) {
            message_exit(1, "Unable to chown directory entry %s: %s\n", name, std::strerror(errno));
        }
    } else if (chmod(name, change->file_mode) != 0) {
        message_exit(
            1, top ? "Unable to chmod entry %s: %s\n" : "Unable to chmod directory entry %s: %s\n",
            name, std::strerror(errno));
    }
}

void change_directory(const tree_change* change, const char* name) {
    if (change->operation == TREE_CHOWN) {
        if (chown(name, change->uid, change->gid) != 0) {
            message_exit(1, "Unable to chown dir %s: %s\n", name, std::strerror(errno));
        }
    } else if (chmod(name, change->dir_mode) != 0) {
        message_exit(1, "Unable to chmod dir %s: %s\n", name, std::strerror(errno));
    }
}

void walk_tree(const char* path, const tree_change* change, int include_top) {
    struct stat status;
    if (lstat(path, &status) != 0) {
        if (errno == ENOENT) {
            message_exit(0, "Directory entry %s doesn't exist: %s\n", path, std::strerror(errno));
            return;
        }
        message_exit(1, "Unable to get entry %s: %s\n", path, std::strerror(errno));
    }
    if (S_ISLNK(status.st_mode)) {
        return;
    }
    if (S_ISREG(status.st_mode)) {
        change_file(change, path, true);
        return;
    }

    int saved_cwd = open(".", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (saved_cwd < 0) {
        message_exit(1, "Unable to get file descriptor of current dir: %s\n", std::strerror(errno));
    }
    DIR* directory = opendir(path);
    if (directory == nullptr) {
        message_exit(1, "Unable to open dir %s: %s\n", path, std::strerror(errno));
    }
    // Entering through the open directory, not the path, keeps the walk in the directory
    // that was opened even if the path changes meanwhile.
    if (fchdir(dirfd(directory)) != 0) {
        message_exit(1, "Unable to change dir %s: %s\n", path, std::strerror(errno));
    }

    while (const dirent* entry = readdir(directory)) {
        const char* name = entry->d_name;
        if (lstat(name, &status) != 0) {
            if (errno == ENOENT) {
                continue; // vanished since the directory was read
            }
            message_exit(1, "Unable to check directory entry %s: %s\n", name, std::strerror(errno));
        }
        if (S_ISDIR(status.st_mode)) {
            if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
                walk_tree(name, change, 1);
            }
        } else if (S_ISREG(status.st_mode)) {
            change_file(change, name, false);
        }
    }

    if (fchdir(saved_cwd) != 0 || close(saved_cwd) != 0) {
        message_exit(1, "Unable to restore & close current dir: %s\n", std::strerror(errno));
    }
    if (closedir(directory) != 0) {
        message_exit(1, "Unable to close dir %s: %s\n", path, std::strerror(errno));
    }
    if (include_top == 1) {
        change_directory(change, path);
    }
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
