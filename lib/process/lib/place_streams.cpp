// Placing a child's standard streams with dup2.
//
// The retries are written out rather than taken from retry_eintr: a child that shares the
// tool's memory calls nothing but system calls.
#include "lib/process/lib/place_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

int place_streams(int sources[3]) {
    for (int target = 0; target < 3; ++target) {
        int& source = sources[target];
        if (source >= 0 && source < 3 && source != target &&
            (source = ::fcntl(source, F_DUPFD_CLOEXEC, 3)) < 0)
            return target;
    }
    for (int target = 0; target < 3; ++target) {
        const int source = sources[target];
        int result = 0;
        if (source == target) {
            result = ::fcntl(target, F_SETFD, 0);
        } else if (source >= 0) {
            while ((result = ::dup2(source, target)) < 0 && errno == EINTR) {
            }
        }
        if (result < 0)
            return target;
    }
    return -1;
}
