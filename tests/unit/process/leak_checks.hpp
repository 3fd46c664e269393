// What every process test checks after each path: the descriptors the test process holds
// and whether it still has a child (ended or not).
#pragma once

#include <cstdlib>
#include <dirent.h>
#include <set>
#include <string>
#include <sys/wait.h>

namespace leak_checks {

inline std::set<std::string> openDescriptors() {
    std::set<std::string> found;
    DIR* directory = opendir("/proc/self/fd");
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(directory)) {
            found.insert(entry->d_name);
        }
    }
    closedir(directory);
    return found;
}

// Looks without reaping anything.
inline bool hasChildren() {
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

} // namespace leak_checks
