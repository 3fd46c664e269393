// Closing every descriptor from a number up, but one, without the heap.
#include "lib/process/lib/close_from.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>

namespace {

// One close_range call on each side of keep. False when the kernel has no close_range.
bool closeByRange(int lowest, int keep) {
    const auto first = static_cast<unsigned>(lowest);
    if (keep < lowest)
        return ::close_range(first, ~0U, 0) == 0;
    if (keep > lowest && ::close_range(first, static_cast<unsigned>(keep) - 1, 0) != 0)
        return false;
    return ::close_range(static_cast<unsigned>(keep) + 1, ~0U, 0) == 0;
}

// Parses a /proc/self/fd entry: digits only, no leading zero except "0", at most INT_MAX.
bool parseDescriptor(const char* name, int& number) {
    if (name[0] < '0' || name[0] > '9' || (name[0] == '0' && name[1] != '\0'))
        return false;
    long value = 0;
    for (const char* digit = name; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9')
            return false;
        value = value * 10 + (*digit - '0');
        if (value > INT_MAX)
            return false;
    }
    number = static_cast<int>(value);
    return true;
}

bool isDotEntry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Closes the listed descriptors. Succeeds only when the whole listing was read within the
// entry budget, every name was a descriptor below limit, and the listing showed the
// directory's own descriptor (proof that it is this process's live table).
bool closeListed(int lowest, int keep, int limit) {
    const int directory = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return false;
    int budget = limit > 999 ? limit / 10 : 100;
    bool sawOwn = false;
    bool sound = true;
    bool complete = false;
    alignas(dirent64) char listing[2048];
    while (sound) {
        const ssize_t got = ::getdents64(directory, listing, sizeof listing);
        if (got <= 0) {
            complete = got == 0;
            break;
        }
        for (std::size_t at = 0; sound && at < static_cast<std::size_t>(got);) {
            const auto* entry = reinterpret_cast<const dirent64*>(listing + at);
            at += entry->d_reclen;
            if (isDotEntry(entry->d_name))
                continue;
            int descriptor = -1;
            sound =
                budget-- > 0 && parseDescriptor(entry->d_name, descriptor) && descriptor < limit;
            if (!sound)
                break;
            if (descriptor == directory)
                sawOwn = true;
            else if (descriptor >= lowest && descriptor != keep)
                ::close(descriptor);
        }
    }
    ::close(directory);
    return complete && sound && sawOwn;
}

} // namespace

void close_from(int lowest, int keep) {
    lowest = std::max(lowest, 0);
    const int saved = errno;
    // One system call where the kernel has it (Linux 5.9 and later): nothing is listed in a
    // freshly started child.
    if (!closeByRange(lowest, keep)) {
        const int limit = ::getdtablesize();
        if (!closeListed(lowest, keep, limit))
            for (int descriptor = limit - 1; descriptor >= lowest; --descriptor)
                if (descriptor != keep)
                    ::close(descriptor);
    }
    errno = saved;
}
