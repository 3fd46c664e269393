// Holding SIGCHLD off: the one block of it, which the pipeline engine takes while it starts
// and registers children (and while it kills and reaps them after a failure) and the
// child-exit catcher takes while its map of children changes.
//
// hold() adds SIGCHLD to the signal mask and keeps the mask as it was; restore(), or the
// destructor when restore() has not run, puts that mask back. A block that holds nothing
// restores nothing. Only SIGCHLD is added: the rest of the mask stays as the caller has it.
//
// DIAGNOSTICS: hold returns null, or the step that failed ("get sigprocmask", "sigaddset",
// "set sigprocmask") with errno set; restore returns null or "restore sigprocmask". The
// caller decides whether a failure is raised; the destructor reports nothing.
#pragma once

#include <signal.h>

namespace corvo::process {

class ChildSignalBlock {
public:
    ChildSignalBlock() noexcept = default;
    ChildSignalBlock(const ChildSignalBlock&) = delete;
    ChildSignalBlock& operator=(const ChildSignalBlock&) = delete;
    ~ChildSignalBlock() { (void)restore(); }

    const char* hold() noexcept {
        if (sigprocmask(SIG_BLOCK, nullptr, &previous_) != 0)
            return "get sigprocmask";
        sigset_t blocked = previous_;
        if (sigaddset(&blocked, SIGCHLD) != 0)
            return "sigaddset";
        if (sigprocmask(SIG_SETMASK, &blocked, nullptr) != 0)
            return "set sigprocmask";
        held_ = true;
        return nullptr;
    }

    const char* restore() noexcept {
        if (!held_)
            return nullptr;
        held_ = false;
        return sigprocmask(SIG_SETMASK, &previous_, nullptr) != 0 ? "restore sigprocmask" : nullptr;
    }

    // The mask as it was before hold(): what the pipeline's children start their programs
    // with.
    const sigset_t& previous() const noexcept { return previous_; }

private:
    sigset_t previous_{};
    bool held_ = false;
};

} // namespace corvo::process
