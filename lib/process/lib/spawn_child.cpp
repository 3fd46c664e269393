// Starting a child that shares the tool's memory, and the steps it may take before exec.
#include "lib/process/lib/spawn_child.h"

#include "lib/base/eintr.h"

#include <limits.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// What the child's own steps take at most (signal reset, stream placement, the closer's
// listing buffer, the failure texts), with room to spare.
constexpr std::size_t kOwnSteps = 64 * 1024;

// A child's stack: a mapping with one inaccessible page at its low end, which the stack grows
// towards. It lives for one start: the caller is suspended until the child has left it (by
// exec or exit).
class ChildStack {
public:
    // A need of 0 maps nothing (a forked child runs on its copy of the caller's stack).
    explicit ChildStack(std::size_t need) {
        if (need == 0) {
            return;
        }
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        size_ = (need + page - 1) / page * page + page;
        void* mapped =
            mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (mapped == MAP_FAILED) {
            return;
        }
        base_ = static_cast<char*>(mapped);
        if (mprotect(base_ + page, size_ - page, PROT_READ | PROT_WRITE) != 0) {
            const int error = errno;
            munmap(base_, size_);
            base_ = nullptr;
            errno = error;
        }
    }
    ChildStack(const ChildStack&) = delete;
    ChildStack& operator=(const ChildStack&) = delete;
    ~ChildStack() {
        if (base_ != nullptr) {
            munmap(base_, size_);
        }
    }
    // The top of the stack, or null when it could not be mapped (errno says why).
    char* top() const { return base_ != nullptr ? base_ + size_ : nullptr; }

private:
    char* base_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace

std::size_t exec_stack_need(char* const* argv) {
    std::size_t count = 0;
    while (argv[count] != nullptr) {
        ++count;
    }
    return (count + 2) * sizeof(char*) + PATH_MAX + NAME_MAX + 2;
}

pid_t spawn_child(int (*body)(void*), void* argument, bool copy_memory, std::size_t stack_need) {
    // Mapped before anything else, so that a failure leaves the signal mask alone.
    const ChildStack stack(copy_memory ? 0 : kOwnSteps + stack_need);
    if (!copy_memory && stack.top() == nullptr) {
        return -1;
    }
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
        pid = clone(body, stack.top(), CLONE_VM | CLONE_VFORK | SIGCHLD, argument);
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
