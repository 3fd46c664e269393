// The child-exit catcher: SIGCHLD handler, registration and the notification pipe.
//
// DIAGNOSTICS: failed system calls raise corvo::SystemError with the operation's short text
// and errno; misuse raises std::logic_error. See ProcessSetCatcher.hpp.
#include "lib/process/lib/ProcessSetCatcher.hpp"

#include "diagnostics/Errors.hpp"

#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace corvo::process {

namespace {

// Holds SIGCHLD off while the map of children changes, so that the handler never walks a
// map in the middle of an insertion or a clear.
class ChildSignalBlock {
public:
    ChildSignalBlock() noexcept {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGCHLD);
        sigprocmask(SIG_BLOCK, &set, &previous_);
    }
    ~ChildSignalBlock() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    ChildSignalBlock(const ChildSignalBlock&) = delete;
    ChildSignalBlock& operator=(const ChildSignalBlock&) = delete;

private:
    sigset_t previous_{};
};

// Closes fd unless it is -1; returns 0 or errno. An EINTR counts as closed (Linux has
// released the descriptor already).
int closeEnd(int fd) noexcept {
    if (fd < 0 || ::close(fd) == 0 || errno == EINTR) {
        return 0;
    }
    return errno;
}

int setNonBlocking(int fd) noexcept {
    int flags;
    while ((flags = fcntl(fd, F_GETFL)) < 0 && errno == EINTR) {
    }
    if (flags < 0) {
        return -1;
    }
    int result;
    while ((result = fcntl(fd, F_SETFL, flags | O_NONBLOCK)) < 0 && errno == EINTR) {
    }
    return result;
}

} // namespace

std::atomic<ProcessSetCatcher*> ProcessSetCatcher::installed_{nullptr};

ProcessSetCatcher::ProcessSetCatcher() noexcept = default;

ProcessSetCatcher::~ProcessSetCatcher() {
    try {
        uninstall(true);
    } catch (...) {
        // A destructor has nobody to report to; the catcher is gone either way.
    }
    // Ends kept by an uninstall that raised before closing them.
    closeEnd(readEnd_);
    closeEnd(writeEnd_);
}

void ProcessSetCatcher::install() {
    if (installed_.load() != nullptr) {
        throw std::logic_error("ProcessSetCatcher instance has been installed already");
    }

    struct sigaction action {};
    action.sa_sigaction = &ProcessSetCatcher::onChildSignal;
    action.sa_flags = SA_NOCLDSTOP | SA_SIGINFO;
    // The handler runs with every signal held off that is held off now.
    if (sigprocmask(SIG_BLOCK, nullptr, &action.sa_mask) != 0) {
        throw SystemError("sigaction", errno);
    }
    struct sigaction previous {};
    int result;
    while ((result = sigaction(SIGCHLD, &action, &previous)) != 0 && errno == EINTR) {
    }
    if (result != 0) {
        throw SystemError("sigaction", errno);
    }

    // From here on a failure puts the previous action back: the handler would do nothing
    // without an installed instance, but nobody would ever remove it.
    auto fail = [&previous](const char* message, int error) {
        sigaction(SIGCHLD, &previous, nullptr);
        throw SystemError(message, error);
    };

    int ends[2];
    while ((result = pipe(ends)) != 0 && errno == EINTR) {
    }
    if (result != 0) {
        fail("process set catcher control pipe", errno);
    }
    if (setNonBlocking(ends[0]) != 0 || setNonBlocking(ends[1]) != 0) {
        int error = errno;
        closeEnd(ends[0]);
        closeEnd(ends[1]);
        fail("control pipe fcntl", error);
    }
    // The notification pipe is the tool's own: no child program should inherit it.
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);

    int oldRead = readEnd_;
    int oldWrite = writeEnd_;
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
    saved_ = previous;
    int error = closeEnd(oldRead);
    if (int writeError = closeEnd(oldWrite); error == 0) {
        error = writeError;
    }
    installed_.store(this);
    if (error != 0) {
        throw SystemError("close", error);
    }
}

void ProcessSetCatcher::add(pid_t pid) {
    ChildSignalBlock block;
    if (children_.try_emplace(pid).second) {
        ++registered_;
    }
}

std::optional<ProcessSetCatcher::ChildStatus> ProcessSetCatcher::lookup(pid_t pid) const {
    ChildSignalBlock block;
    auto found = children_.find(pid);
    if (found == children_.end()) {
        return std::nullopt;
    }
    return ChildStatus{found->second.ended, found->second.status};
}

std::size_t ProcessSetCatcher::drain() noexcept {
    int saved = errno;
    std::size_t count = 0;
    char byte;
    for (;;) {
        ssize_t result = read(readEnd_, &byte, 1);
        if (result > 0) {
            ++count;
        } else if (result < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    errno = saved;
    return count;
}

void ProcessSetCatcher::closeEnds(bool raise) {
    int readError = closeEnd(readEnd_);
    readEnd_ = -1;
    int writeError = closeEnd(writeEnd_);
    writeEnd_ = -1;
    if (raise && readError != 0) {
        throw SystemError("pipe read-end close", readError);
    }
    if (raise && writeError != 0) {
        throw SystemError("close", writeError);
    }
}

void ProcessSetCatcher::uninstall(bool forced) {
    if (installed_.load() != this) {
        return;
    }
    ChildSignalBlock block;
    closeEnds(std::uncaught_exceptions() == 0 && !forced);
    if (!forced && ended_ < registered_) {
        throw std::logic_error("there're some child processes still running");
    }
    children_.clear();
    registered_ = 0;
    statuses_ = 0;
    ended_ = 0;
    int result;
    while ((result = sigaction(SIGCHLD, &saved_, nullptr)) != 0 && errno == EINTR) {
    }
    if (result != 0) {
        throw SystemError("restore sigaction", errno);
    }
    installed_.store(nullptr);
}

void ProcessSetCatcher::onChildSignal(int /*signal*/, siginfo_t* /*info*/, void* /*context*/) {
    ProcessSetCatcher* self = installed_.load();
    if (self == nullptr) {
        return;
    }
    int saved = errno;
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid > 0) {
            auto found = self->children_.find(pid);
            if (found == self->children_.end()) {
                continue; // not ours to report: reaped so that it leaves no zombie
            }
            // The status is stored before the ended flag, which is what readers test first.
            found->second.status = status;
            self->statuses_ = self->statuses_ + 1;
            if (WIFEXITED(status) || WIFSIGNALED(status)) {
                found->second.ended = 1;
                self->ended_ = self->ended_ + 1;
                const char byte = 't';
                while (write(self->writeEnd_, &byte, 1) < 0 && errno == EINTR) {
                }
            }
        } else if (pid < 0 && errno == EINTR) {
            continue;
        } else {
            break; // 0: nothing more has ended; -1: no children left
        }
    }
    errno = saved;
}

} // namespace corvo::process
