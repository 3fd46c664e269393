// The child-exit catcher: SIGCHLD handler, registration and the notification pipe.
//
// DIAGNOSTICS: failed system calls raise corvo::SystemError with the operation's short text
// and errno; misuse raises std::logic_error. See ProcessSetCatcher.hpp.
#include "lib/process/lib/ProcessSetCatcher.hpp"

#include "diagnostics/Errors.hpp"
#include "lib/base/Descriptor.hpp"
#include "lib/base/eintr.h"
#include "lib/process/lib/ChildSignalBlock.hpp"
#include "lib/process/lib/nonblocking.h"

#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace corvo::process {

std::atomic<ProcessSetCatcher*> ProcessSetCatcher::installed_{nullptr};

ProcessSetCatcher::ProcessSetCatcher() noexcept = default;

ProcessSetCatcher::~ProcessSetCatcher() {
    try {
        uninstall(true);
    } catch (...) {
        // A destructor has nobody to report to; the catcher is gone either way.
    }
    // Ends kept by an uninstall that raised before closing them.
    Descriptor(readEnd_).close();
    Descriptor(writeEnd_).close();
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
    if (retry_eintr([&] { return sigaction(SIGCHLD, &action, &previous); }) != 0) {
        throw SystemError("sigaction", errno);
    }

    // From here on a failure puts the previous action back: the handler would do nothing
    // without an installed instance, but nobody would ever remove it.
    auto fail = [&previous](const char* message, int error) {
        sigaction(SIGCHLD, &previous, nullptr);
        throw SystemError(message, error);
    };

    int ends[2];
    if (retry_eintr([&] { return pipe(ends); }) != 0) {
        fail("process set catcher control pipe", errno);
    }
    int error = set_nonblocking(ends[0]);
    if (error == 0) {
        error = set_nonblocking(ends[1]);
    }
    if (error != 0) {
        Descriptor(ends[0]).close();
        Descriptor(ends[1]).close();
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
    error = Descriptor(oldRead).close();
    if (int writeError = Descriptor(oldWrite).close(); error == 0) {
        error = writeError;
    }
    installed_.store(this);
    if (error != 0) {
        throw SystemError("close", error);
    }
}

void ProcessSetCatcher::add(pid_t pid) {
    ChildSignalBlock block;
    (void)block.hold();
    if (children_.try_emplace(pid).second) {
        ++registered_;
    }
}

std::optional<ProcessSetCatcher::ChildStatus> ProcessSetCatcher::lookup(pid_t pid) const {
    ChildSignalBlock block;
    (void)block.hold();
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
    while (retry_eintr([&] { return read(readEnd_, &byte, 1); }) > 0) {
        ++count;
    }
    errno = saved;
    return count;
}

void ProcessSetCatcher::closeEnds(bool raise) {
    int readError = Descriptor(readEnd_).close();
    readEnd_ = -1;
    int writeError = Descriptor(writeEnd_).close();
    writeEnd_ = -1;
    // The two ends fail with differently shaped texts: both are part of the tool's output.
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
    (void)block.hold();
    closeEnds(std::uncaught_exceptions() == 0 && !forced);
    if (!forced && ended_ < registered_) {
        // The wording is part of the tool's output and must stay.
        throw std::logic_error("there're some child processes still running");
    }
    children_.clear();
    registered_ = 0;
    statuses_ = 0;
    ended_ = 0;
    if (retry_eintr([this] { return sigaction(SIGCHLD, &saved_, nullptr); }) != 0) {
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
        const pid_t pid = retry_eintr([&status] { return waitpid(-1, &status, WNOHANG); });
        if (pid <= 0) {
            break; // 0: nothing more has ended; -1: no children left
        }
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
            retry_eintr([self, &byte] { return write(self->writeEnd_, &byte, 1); });
        }
    }
    errno = saved;
}

} // namespace corvo::process
