// Making a descriptor non-blocking.
#include "lib/process/lib/nonblocking.h"

#include "lib/base/eintr.h"

#include <fcntl.h>

#include <cerrno>

int set_nonblocking(int fd) {
    const int flags = retry_eintr([fd] { return ::fcntl(fd, F_GETFL); });
    if (flags < 0)
        return errno;
    if (retry_eintr([fd, flags] { return ::fcntl(fd, F_SETFL, flags | O_NONBLOCK); }) < 0)
        return errno;
    return 0;
}
