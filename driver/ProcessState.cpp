// Bringing the process to a known state at start-up.
#include "driver/ProcessState.hpp"

#include "diagnostics/log.h"
#include "lib/process/lib/close_from.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>

namespace corvo {

void resetInheritedState() {
    // In ascending order, so that the lowest free descriptor is the one being filled.
    for (int stream = 0; stream < 3; ++stream) {
        if (fcntl(stream, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // Not close-on-exec: it is a standard stream, which every child must inherit.
        const int opened = open("/dev/null", O_RDWR);
        if (opened != stream)
            message_exit(1, "Unable to open /dev/null: %s", std::strerror(errno));
    }
    close_from(3);

    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Every disposition back to its default, so that postmap and the siblings start as they
    // would from a clean shell: a caller that ignores HUP, INT or TERM would otherwise pass
    // that on to every child. The signals that cannot be caught, and those the C library
    // keeps for itself, refuse the call; that is as it should be.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (int number = 1; number < NSIG; ++number)
        sigaction(number, &standard, nullptr);

    // Lock files and copied key directories take their modes from the mask; tables that
    // postmap creates must stay readable by the mail system.
    umask(022);
}

} // namespace corvo
