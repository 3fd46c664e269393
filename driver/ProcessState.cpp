// Bringing the process to a known state at start-up.
#include "driver/ProcessState.hpp"

#include "diagnostics/log.h"
#include "lib/process/lib/close_from.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>

namespace corvo {
namespace {

// The C library refuses to change the two real-time signals it keeps for itself (thread
// cancellation and set-id calls) and installs its own handlers only when threads need them.
// An "ignore" of them that the caller left (make does) would still pass to every child, so
// they are reset by the system call itself; this single-threaded tool never uses them.
void resetReservedSignal(int number) {
    struct {
        void (*handler)(int);
        unsigned long flags;
        void (*restorer)();
        unsigned long mask;
    } standard{SIG_DFL, 0, nullptr, 0};
    if (number != SIGKILL && number != SIGSTOP)
        syscall(SYS_rt_sigaction, number, &standard, nullptr, sizeof standard.mask);
}

} // namespace

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
    // that on to every child (an ignored signal stays ignored across exec). SIGKILL and
    // SIGSTOP refuse the call, as they should.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (int number = 1; number < NSIG; ++number)
        if (sigaction(number, &standard, nullptr) != 0 && errno == EINVAL)
            resetReservedSignal(number);

    // Lock files and copied key directories take their modes from the mask; tables that
    // postmap creates must stay readable by the mail system.
    umask(022);
}

} // namespace corvo
