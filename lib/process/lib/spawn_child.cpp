// Starting a child that shares the tool's memory, and the steps it may take before exec.
#include "lib/process/lib/spawn_child.h"

#include "lib/base/eintr.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// One stack serves every child: the caller is suspended while a child runs on it, and the
// tool is single-threaded. 64 KiB holds the deepest path a child takes (execvp's search
// builds each candidate path on the stack).
alignas(64) char child_stack[64 * 1024];

} // namespace

pid_t spawn_child(int (*body)(void*), void* argument, bool copy_memory) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    // errno lives in the memory the child shares: whatever its system calls leave there is
    // the child's, not the caller's.
    const int before = errno;
    pid_t pid;
    if (copy_memory) {
        pid = retry_eintr([] { return fork(); });
        if (pid == 0) {
            _exit(body(argument));
        }
    } else {
        pid = clone(body, child_stack + sizeof child_stack, CLONE_VM | CLONE_VFORK | SIGCHLD,
                    argument);
    }
    const int error = pid < 0 ? errno : before;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return pid;
}

void child_reset_signals(const sigset_t* mask) {
    struct sigaction standard;
    std::memset(&standard, 0, sizeof standard);
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (int number = 1; number < NSIG; ++number) {
        struct sigaction current;
        if (number == SIGKILL || number == SIGSTOP || sigaction(number, nullptr, &current) != 0) {
            continue;
        }
        const bool caught = (current.sa_flags & SA_SIGINFO) != 0 ||
                            (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
        if (caught || number == SIGCHLD || number == SIGPIPE) {
            sigaction(number, &standard, nullptr);
        }
    }
    sigprocmask(SIG_SETMASK, mask, nullptr);
}

void child_write(int fd, const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, text, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

void child_write_text(int fd, const char* text) {
    child_write(fd, text, std::strlen(text));
}

void child_write_decimal(int fd, int number) {
    char digits[16];
    char* start = digits + sizeof digits;
    long value = number < 0 ? -static_cast<long>(number) : number;
    do {
        *--start = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    if (number < 0) {
        *--start = '-';
    }
    child_write(fd, start, static_cast<std::size_t>(digits + sizeof digits - start));
}
