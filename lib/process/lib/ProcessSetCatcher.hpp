// The child-exit catcher: a SIGCHLD handler that reaps every ended child of the process,
// records the wait status of the children it was told about and wakes the pipeline
// engine's poll loop by writing one byte per ended child to a non-blocking pipe (the
// self-pipe technique).
//
// Guarantees: at most one catcher is installed in the process at a time; the handler
// preserves errno and touches only the records of registered children, the counters and
// the notification pipe; a child that was not registered is reaped and never reported;
// a stopped child is not reported. Registration and removal run with SIGCHLD blocked, so
// the handler never sees the map while it changes. Callers block SIGCHLD themselves
// between fork and add, so that no child ends before it is known.
//
// DIAGNOSTICS: nothing ends the process and nothing is returned as a failure. Misuse (a
// second install, an unforced uninstall while registered children run) raises
// std::logic_error; a failed system call raises corvo::SystemError with a short text naming
// the step and errno (a failed install puts the previous SIGCHLD action back first). drain
// and the destructor never raise.
#pragma once

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <sys/types.h>

namespace corvo::process {

class ProcessSetCatcher {
public:
    // What the catcher knows of one registered child. status is the raw wait status, -1
    // until the child has been reaped.
    struct ChildStatus {
        std::int32_t ended = 0;
        std::int32_t status = -1;
    };

    ProcessSetCatcher() noexcept;
    ProcessSetCatcher(const ProcessSetCatcher&) = delete;
    ProcessSetCatcher& operator=(const ProcessSetCatcher&) = delete;
    // Uninstalls, forced: a destructor cannot report children still running, so callers
    // that care call uninstall(false) themselves on their normal path.
    ~ProcessSetCatcher();

    void install();

    // Registers a child; an id already present keeps its record.
    void add(pid_t pid);

    // The record of a registered child, or nothing.
    std::optional<ChildStatus> lookup(pid_t pid) const;

    // Empties the notification pipe; returns the number of bytes read. errno is unchanged.
    std::size_t drain() noexcept;

    // Read end of the notification pipe (for poll), -1 when not installed.
    int notificationDescriptor() const noexcept { return readEnd_; }

    void uninstall(bool forced = false);

    bool isInstalled() const noexcept { return installed_.load() == this; }

private:
    struct Record {
        volatile std::int32_t ended = 0;
        volatile std::int32_t status = -1;
    };

    static void onChildSignal(int signal, siginfo_t* info, void* context);
    void closeEnds(bool raise);

    static std::atomic<ProcessSetCatcher*> installed_;

    std::map<pid_t, Record> children_;
    std::size_t registered_ = 0;
    volatile std::size_t statuses_ = 0;
    volatile std::size_t ended_ = 0;
    struct sigaction saved_ {};
    // Plain numbers, not Descriptor owners, because the signal handler reads them; they are
    // closed the way Descriptor closes (EINTR counts as closed).
    volatile int readEnd_ = -1;
    volatile int writeEnd_ = -1;
};

} // namespace corvo::process
