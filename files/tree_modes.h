// Ownership and modes of a whole directory tree.
//
// chown_tree gives every regular file and directory of a tree one owner; chmod_tree gives
// regular files one mode and directories another. Symbolic links (and devices, sockets,
// pipes) are left alone and never followed, so a link cannot lead the walk out of the
// tree. A path naming a regular file is changed whatever include_top says; a directory
// given as the path is changed itself only when include_top is 1, while its subdirectories
// at every depth always are. Every entry is changed through a descriptor opened without
// following links, so an entry swapped for a link while the walk runs is left alone too.
// The working directory is never changed.
//
// DIAGNOSTICS: a missing path is printed through message_warning and the walk returns 0.
// Every other failure (status, open, chown, chmod, close) ends the process with status 1
// through message_exit, so the walk either completes or the process ends.
#pragma once

#include <sys/types.h>

// Returns 0.
int chown_tree(const char* path, uid_t uid, gid_t gid, int include_top);

// Returns 0.
int chmod_tree(const char* path, mode_t file_mode, mode_t dir_mode, int include_top);

// chown_tree, then chmod_tree; returns 0.
int set_tree_owner_and_modes(const char* path, uid_t uid, gid_t gid, mode_t file_mode,
                             mode_t dir_mode, int include_top);
