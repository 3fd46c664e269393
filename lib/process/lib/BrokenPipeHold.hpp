// Holding off the SIGPIPE of the tool's own writes to a child: the one hold that both
// engines take while they feed a child's standard input.
//
// While a BrokenPipeHold lives, SIGPIPE is blocked in the calling thread, so that a write to
// a pipe whose reader has gone fails with EPIPE instead of ending the tool. When it ends, a
// SIGPIPE that became pending meanwhile is taken off the pending set (unless one was
// pending before the hold, which is the caller's), then the previous mask and errno come
// back: the caller finds its signal state as it left it. The disposition of SIGPIPE is never
// changed, so a child started meanwhile inherits nothing of the hold but the mask, which
// every child sets for itself.
//
// DIAGNOSTICS: none. The calls take only valid arguments and cannot fail.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace corvo::process {

class BrokenPipeHold {
public:
    BrokenPipeHold() noexcept {
        sigemptyset(&pipeSignal_);
        sigaddset(&pipeSignal_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeSignal_, &previous_);
    }
    BrokenPipeHold(const BrokenPipeHold&) = delete;
    BrokenPipeHold& operator=(const BrokenPipeHold&) = delete;
    ~BrokenPipeHold() {
        const int saved = errno;
        sigset_t pending;
        if (!wasPending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{};
            sigtimedwait(&pipeSignal_, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        errno = saved;
    }

private:
    sigset_t pipeSignal_{};
    sigset_t previous_{};
    bool wasPending_ = false;
};

} // namespace corvo::process
