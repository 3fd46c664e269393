// What kind of file a mode names, in words for a diagnostic: "a FIFO", "a directory", ...
// Those who refuse a planted file and those who report one say it the same way. Nothing
// here fails.
#pragma once

#include <sys/stat.h>

inline const char* file_type_name(mode_t mode) {
    static const struct {
        mode_t type;
        const char* name;
    } names[] = {{S_IFREG, "a regular file"}, {S_IFLNK, "a symbolic link"},
                 {S_IFDIR, "a directory"},    {S_IFIFO, "a FIFO"},
                 {S_IFSOCK, "a socket"},      {S_IFCHR, "a character device"},
                 {S_IFBLK, "a block device"}};
    for (const auto& [type, name] : names)
        if ((mode & S_IFMT) == type)
            return name;
    return "a file of an unknown type";
}
