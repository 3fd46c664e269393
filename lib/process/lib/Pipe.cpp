// The process pipe engine: launching the commands, the poll loop, the control-pipe
// report of a child that could not start, and the cleanup when something fails.
//
// DIAGNOSTICS: see Pipe.hpp. Parent-side system call failures raise corvo::SystemError
// built from the errno of the failed call; a child's start-up failure is rebuilt from its
// control-pipe records; nothing raised leaves an open descriptor or a running child.
#include "lib/process/lib/Pipe.hpp"

#include "diagnostics/Errors.hpp"
#include "lib/base/eintr.h"
#include "lib/process/lib/Descriptor.hpp"
#include "lib/process/lib/ProcessSetCatcher.hpp"
#include "lib/process/lib/fork_exec.h"
#include "lib/process/lib/nonblocking.h"
#include "lib/process/lib/spawn_child.h"

#include <boost/bind/bind.hpp>
#include <boost/lexical_cast.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <iostream>
#include <stdexcept>
#include <sys/resource.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvo::process {

namespace {

constexpr std::size_t kChunkSize = 1024;

// Child exit codes after a start-up failure, by the kind of what was raised.
constexpr int kExitSystemError = 67;
constexpr int kExitStandardError = 66;
constexpr int kExitUnknownError = 65;

constexpr const char* kTypeTag = "ET: ";
constexpr const char* kMessageTag = "EM: ";
constexpr const char* kCodeTag = "EC: ";
constexpr std::size_t kTagLength = 4;

// SIGCHLD held off from before the first fork until every child is registered with the
// catcher, so that none can be reaped while the catcher does not know it yet.
class ChildSignalHold {
public:
    ChildSignalHold() = default;
    ChildSignalHold(const ChildSignalHold&) = delete;
    ChildSignalHold& operator=(const ChildSignalHold&) = delete;
    ~ChildSignalHold() {
        if (held_) {
            sigprocmask(SIG_SETMASK, &saved_, nullptr);
        }
    }

    void hold() {
        if (sigprocmask(SIG_BLOCK, nullptr, &saved_) != 0) {
            throw SystemError("get sigprocmask", errno);
        }
        sigset_t blocked = saved_;
        if (sigaddset(&blocked, SIGCHLD) != 0) {
            throw SystemError("sigaddset", errno);
        }
        if (sigprocmask(SIG_SETMASK, &blocked, nullptr) != 0) {
            throw SystemError("set sigprocmask", errno);
        }
        held_ = true;
    }

    void restore() {
        if (!held_) {
            return;
        }
        held_ = false;
        if (sigprocmask(SIG_SETMASK, &saved_, nullptr) != 0) {
            throw SystemError("restore sigprocmask", errno);
        }
    }

    // The mask as it was before hold(): what children start their programs with.
    const sigset_t& saved() const noexcept { return saved_; }

private:
    sigset_t saved_{};
    bool held_ = false;
};

// SIGPIPE ignored while the tool writes to the pipeline, so that a reader that has gone
// shows as EPIPE from write instead of killing the tool. The previous action comes back
// when the hold ends; children are forked before it starts and reset SIGPIPE anyway.
class BrokenPipeHold {
public:
    BrokenPipeHold() noexcept {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        held_ = sigaction(SIGPIPE, &ignore, &saved_) == 0;
    }
    BrokenPipeHold(const BrokenPipeHold&) = delete;
    BrokenPipeHold& operator=(const BrokenPipeHold&) = delete;
    ~BrokenPipeHold() {
        if (held_) {
            sigaction(SIGPIPE, &saved_, nullptr);
        }
    }

private:
    struct sigaction saved_ {};
    bool held_ = false;
};

void setNonBlocking(const Descriptor& fd) {
    if (!fd.isOpen()) {
        return;
    }
    if (int error = set_nonblocking(fd.get()); error != 0) {
        throw SystemError("fcntl", error);
    }
}

void writeRecord(int fd, const char* tag, const std::string& text) noexcept {
    try {
        std::string record(tag);
        record += text;
        record.push_back('\0');
        child_write(fd, record.data(), record.size());
    } catch (...) {
        // Out of memory in a child that is about to exit: the parent sees an empty report.
    }
}

void waitFor(pid_t pid) noexcept {
    retry_eintr([pid] { return waitpid(pid, nullptr, 0); });
}

// Rebuilds and raises what a child reported before its program started.
[[noreturn]] void raiseChildFailure(const std::string& report) {
    std::string type;
    std::string message;
    std::string code;
    bool typed = false;
    std::size_t start = 0;
    while (start < report.size()) {
        std::size_t end = report.find('\0', start);
        if (end == std::string::npos) {
            end = report.size();
        }
        std::string record = report.substr(start, end - start);
        start = end + 1;
        if (record.compare(0, kTagLength, kTypeTag) == 0) {
            type = record.substr(kTagLength);
            typed = true;
        } else if (record.compare(0, kTagLength, kMessageTag) == 0) {
            message = record.substr(kTagLength);
        } else if (record.compare(0, kTagLength, kCodeTag) == 0) {
            code = record.substr(kTagLength);
        } else {
            std::clog << "child output: " << record << '\n';
        }
    }
    if (!typed) {
        type = "std::runtime_error";
    }
    if (message.empty()) {
        message = "an error in child process";
    }
    if (type == "SystemError") {
        throw SystemError(message, code.empty() ? 0 : boost::lexical_cast<int>(code));
    }
    if (type == "std::runtime_error") {
        throw std::runtime_error(message);
    }
    if (type == "std::exception") {
        throw std::exception();
    }
    throw std::bad_exception();
}

// Everything a child needs after fork, prepared beforehand in the parent.
struct ChildPlan {
    int streams[3] = {-1, -1, -1}; // descriptor to become 0, 1, 2; -1 leaves it alone
    int control = -1;              // write end of the control pipe
    const char* program = nullptr;
    std::vector<char*> argv;
    char* const* environment = nullptr;
    const char* workingDirectory = "";
    bool closeOthers = false;
    const boost::function<void()>* preExec = nullptr;
    const sigset_t* mask = nullptr;
};

void closeOtherDescriptors(int keep) noexcept {
    int saved = errno;
    struct rlimit limit {};
    unsigned long top = 20;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        top = limit.rlim_cur == RLIM_INFINITY ? ~0U : static_cast<unsigned long>(limit.rlim_cur);
    }
    if (top >= 4) {
        const auto last = static_cast<unsigned>(top - 1);
        const auto kept = static_cast<unsigned>(keep);
        bool done = (kept <= 3 || close_range(3, kept - 1, 0) == 0) &&
                    (kept >= last || close_range(kept + 1, last, 0) == 0);
        for (unsigned fd = 3; !done && fd <= last && fd < 65536; ++fd) {
            if (fd != kept) {
                close(static_cast<int>(fd));
            }
        }
    }
    errno = saved;
}

// The child's steps before its program: signal state, streams, working directory, other
// descriptors, the control pipe's close-on-exec flag. No heap, no stdio, no exception: this
// runs in a child that shares the tool's memory. Returns the step that failed (errno says
// why), or null.
const char* prepareChild(ChildPlan& plan) {
    static const char* const kDupNames[3] = {"stdin dup2", "stdout dup2", "stderr dup2"};
    // The program gets the signal state the tool had before the pipeline started: SIGCHLD
    // unblocked and not caught, SIGPIPE at its default (a broken pipe should end a child as
    // it ends any program), no handler of the tool.
    child_reset_signals(plan.mask);

    // A source among 0..2 that is not its own target would be overwritten by an earlier
    // dup2; move it above 2 first.
    for (int target = 0; target < 3; ++target) {
        int& source = plan.streams[target];
        if (source >= 0 && source < 3 && source != target) {
            source = fcntl(source, F_DUPFD_CLOEXEC, 3);
            if (source < 0) {
                return kDupNames[target];
            }
        }
    }
    for (int target = 0; target < 3; ++target) {
        int source = plan.streams[target];
        int result = 0;
        if (source == target) {
            result = fcntl(target, F_SETFD, 0); // keep it across exec
        } else if (source >= 0) {
            while ((result = dup2(source, target)) < 0 && errno == EINTR) {
            }
        }
        if (result < 0) {
            return kDupNames[target];
        }
    }
    if (plan.workingDirectory[0] != '\0' && chdir(plan.workingDirectory) != 0) {
        return "cwd chdir";
    }
    if (plan.closeOthers) {
        closeOtherDescriptors(plan.control);
    }
    if (fcntl(plan.control, F_SETFD, FD_CLOEXEC) != 0) {
        return "control pipe close-on-exec fcntl";
    }
    return nullptr;
}

// Starts the program, repeating on EINTR; returns the call that failed. Here and in
// prepareChild the retries are written out rather than taken from retry_eintr: a child that
// shares the tool's memory calls nothing but system calls and the steps of spawn_child.h.
const char* execChild(const ChildPlan& plan) {
    if (plan.environment != nullptr) {
        while (execve(plan.program, plan.argv.data(), plan.environment) < 0 && errno == EINTR) {
        }
        return "execve";
    }
    if (plan.program[0] != '.' && plan.program[0] != '/') {
        while (execvp(plan.program, plan.argv.data()) < 0 && errno == EINTR) {
        }
        return "execvp";
    }
    while (execv(plan.program, plan.argv.data()) < 0 && errno == EINTR) {
    }
    return "execv";
}

// The control-pipe report of a failed step, written without the heap. The bare step name
// travels: the parent adds the system's text for the number again.
[[noreturn]] CHILD_ENDS_HERE void reportStepFailure(int control, const char* step, int error) {
    child_write(control, kTypeTag, kTagLength);
    child_write(control, "SystemError", sizeof "SystemError");
    child_write(control, kMessageTag, kTagLength);
    child_write(control, step, std::strlen(step) + 1);
    child_write(control, kCodeTag, kTagLength);
    child_write_decimal(control, error);
    child_write(control, "", 1);
    _exit(kExitSystemError);
}

// A child that shares the tool's memory: prepare, start the program, or report the step.
CHILD_ENDS_HERE int spawnedChild(void* argument) {
    auto& plan = *static_cast<ChildPlan*>(argument);
    const char* failed = prepareChild(plan);
    if (failed == nullptr) {
        failed = execChild(plan);
    }
    reportStepFailure(plan.control, failed, errno);
}

// A forked child, for a command with a pre-exec function: that function is the caller's
// code, free to allocate and raise, which a child sharing the tool's memory cannot allow.
CHILD_ENDS_HERE int forkedChild(void* argument) {
    auto& plan = *static_cast<ChildPlan*>(argument);
    const char* failed = prepareChild(plan);
    if (failed != nullptr) {
        reportStepFailure(plan.control, failed, errno);
    }
    int exitCode = kExitUnknownError;
    try {
        (*plan.preExec)();
        failed = execChild(plan);
        reportStepFailure(plan.control, failed, errno);
    } catch (const SystemError& error) {
        writeRecord(plan.control, kTypeTag, "SystemError");
        writeRecord(plan.control, kMessageTag, error.std::runtime_error::what());
        writeRecord(plan.control, kCodeTag, std::to_string(error.error()));
        exitCode = kExitSystemError;
    } catch (const std::runtime_error& error) {
        writeRecord(plan.control, kTypeTag, "std::runtime_error");
        writeRecord(plan.control, kMessageTag, error.what());
        exitCode = kExitStandardError;
    } catch (const std::exception& error) {
        writeRecord(plan.control, kTypeTag, "std::exception");
        writeRecord(plan.control, kMessageTag, error.what());
        exitCode = kExitStandardError;
    } catch (...) {
        writeRecord(plan.control, kTypeTag, "std::runtime_error");
        writeRecord(plan.control, kMessageTag, "unknown error");
        exitCode = kExitUnknownError;
    }
    _exit(exitCode);
}

// What a descriptor code asks for: the descriptor the child gets, the parent's copy of it
// (closed once the child is forked) and the parent's end of a new pipe.
struct Plumbing {
    int childFd = -1;
    Descriptor childCopy;
    Descriptor parentEnd;
};

Plumbing plumb(int code, bool input, const std::string& name) {
    Plumbing plumbing;
    if (code >= 0) {
        plumbing.childFd = code;
        return plumbing;
    }
    switch (code) {
    case kFdUnset:
    case kFdInherit:
        return plumbing;
    case kFdDevNull: {
        const int flags = (input ? O_RDONLY : O_WRONLY) | O_CLOEXEC;
        const int fd = retry_eintr([flags] { return open("/dev/null", flags); });
        if (fd < 0) {
            throw SystemError(name + " /dev/null open", errno);
        }
        plumbing.childCopy = Descriptor(fd);
        break;
    }
    case kFdPipe: {
        // Close-on-exec everywhere: a later command must not inherit this pipe, or the
        // reader here would never see end of file.
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            throw SystemError(name + " pipe", errno);
        }
        plumbing.childCopy = Descriptor(ends[input ? 0 : 1]);
        plumbing.parentEnd = Descriptor(ends[input ? 1 : 0]);
        break;
    }
    default:
        throw std::invalid_argument("invalid FD for " + name);
    }
    plumbing.childFd = plumbing.childCopy.get();
    return plumbing;
}

void appendChunk(std::string* buffer, const std::vector<char>& chunk) {
    buffer->append(chunk.data(), chunk.size());
}

} // namespace

Command::Command(const std::string& program, const std::string& a1, const std::string& a2,
                 const std::string& a3, const std::string& a4, const std::string& a5,
                 const std::string& a6, const std::string& a7, const std::string& a8,
                 const std::string& a9, const std::string& a10) {
    argv.reserve(10);
    argv.push_back(program);
    for (const std::string* argument : {&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9, &a10}) {
        if (argument->empty()) {
            break;
        }
        argv.push_back(*argument);
    }
}

// One launched child and the tool's ends of its streams.
struct Pipe::Process {
    pid_t pid = -1;
    bool registered = false;
    Descriptor stdinEnd;  // only the first command's, when the pipeline's input is a pipe
    Descriptor stdoutEnd; // only the last command's, when the pipeline's output is a pipe
    Descriptor stderrEnd;
    const Sink* stdoutSink = nullptr;
    const Sink* stderrSink = nullptr;
};

// The state of one run; lives only while run() does.
class Pipe::Runner {
public:
    explicit Runner(Pipe& pipe) : pipe_(pipe) {}

    int run() {
        try {
            launch();
            loop();
            catcher_.uninstall(false);
        } catch (...) {
            abandon();
            throw;
        }
        processes_.clear();
        return pipe_.statuses_.back().status;
    }

private:
    // Settings of command i, falling back on the pipeline's where the command has none.
    template <typename T> const T& orPipe(const T& own, const T& common) const {
        return own.empty() ? common : own;
    }

    void launch() {
        hold_.hold();
        catcher_.install();
        processes_.resize(pipe_.commands_.size());
        for (std::size_t index = 0; index < pipe_.commands_.size(); ++index) {
            launchOne(index);
        }
        hold_.restore();
    }

    // The three streams of one command, and whether its standard error is its own.
    struct Streams {
        Plumbing in;
        Plumbing out;
        Plumbing err;
        bool ownStderr = false;
    };

    // Launching one command: its streams and control pipe, the child started, the tool's
    // ends kept, then the child's report read: a start-up failure is raised here, a started
    // program is registered with the catcher.
    void launchOne(std::size_t index) {
        Process& process = processes_[index];
        Streams streams = plumbStreams(index);
        int controlEnds[2];
        if (pipe2(controlEnds, O_CLOEXEC) != 0) {
            throw SystemError("pipe", errno);
        }
        Descriptor controlRead(controlEnds[0]);
        Descriptor controlWrite(controlEnds[1]);

        ChildPlan plan = planChild(pipe_.commands_[index], streams, controlWrite.get());
        process.pid = spawn(plan);
        controlWrite.close();
        keepParentEnds(index, streams);

        const std::string report = readReport(controlRead);
        if (!report.empty()) {
            // The child has closed its end and is leaving; reap it here, SIGCHLD is held.
            waitFor(process.pid);
            process.pid = -1;
            raiseChildFailure(report);
        }
        catcher_.add(process.pid);
        process.registered = true;
    }

    // Plumbing a command's streams: the first command reads the pipeline's input, the others
    // the previous command's output; the last writes the pipeline's output, the others a new
    // pipe to the next command.
    Streams plumbStreams(std::size_t index) {
        const Command& command = pipe_.commands_[index];
        Streams streams;
        if (index == 0) {
            streams.in = plumb(pipe_.stdinCode, true, "stdin");
        } else {
            streams.in.childCopy = std::move(stage_);
            streams.in.childFd = streams.in.childCopy.get();
        }
        const bool last = index + 1 == pipe_.commands_.size();
        streams.out = plumb(last ? pipe_.stdoutCode : kFdPipe, false, "stdout");
        streams.ownStderr = command.stderrCode != kFdUnset;
        streams.err =
            plumb(streams.ownStderr ? command.stderrCode : pipe_.stderrCode, false, "stderr");
        return streams;
    }

    // Planning the child: everything it needs, prepared here, since a child that shares the
    // tool's memory may not allocate.
    ChildPlan planChild(const Command& command, const Streams& streams, int control) const {
        ChildPlan plan;
        plan.streams[0] = streams.in.childFd;
        plan.streams[1] = streams.out.childFd;
        plan.streams[2] = streams.err.childFd;
        plan.control = control;
        plan.program =
            command.executable.empty() ? command.argv.front().c_str() : command.executable.c_str();
        for (const std::string& argument : command.argv) {
            plan.argv.push_back(const_cast<char*>(argument.c_str()));
        }
        plan.argv.push_back(nullptr);
        plan.environment = command.environment != nullptr ? command.environment : pipe_.environment;
        plan.workingDirectory = orPipe(command.workingDirectory, pipe_.workingDirectory).c_str();
        plan.closeOthers = command.closeOtherDescriptors || pipe_.closeOtherDescriptors;
        plan.preExec = &orPipe(command.preExec, pipe_.preExec);
        plan.mask = &hold_.saved();
        return plan;
    }

    // Starting the child: sharing the tool's memory when it only starts the program, forked
    // when it runs the caller's pre-exec function first.
    static pid_t spawn(ChildPlan& plan) {
        const bool forked = !plan.preExec->empty();
        if (forked) {
            // The pre-exec function may write to stdio: nothing of the tool's own output may
            // be in the forked child's copy of the buffers.
            fork_exec::flushStandardStreams();
        }
        const pid_t pid = spawn_child(forked ? &forkedChild : &spawnedChild, &plan, forked);
        if (pid < 0) {
            // A failed start is reported as "pipe": the text is part of the tool's output and
            // must stay.
            throw SystemError("pipe", errno);
        }
        return pid;
    }

    // Keeping the tool's ends: the child has its copies of its ends, so the tool's copies
    // go; the first command's input, the last command's output and every standard error
    // that is a pipe stay with the process record, a middle output waits for the next command.
    void keepParentEnds(std::size_t index, Streams& streams) {
        const Command& command = pipe_.commands_[index];
        Process& process = processes_[index];
        streams.in.childCopy.close();
        streams.out.childCopy.close();
        streams.err.childCopy.close();
        if (index == 0) {
            process.stdinEnd = std::move(streams.in.parentEnd);
        }
        if (index + 1 == pipe_.commands_.size()) {
            process.stdoutEnd = std::move(streams.out.parentEnd);
            process.stdoutSink = &pipe_.stdoutSink;
        } else {
            stage_ = std::move(streams.out.parentEnd);
        }
        process.stderrEnd = std::move(streams.err.parentEnd);
        process.stderrSink = streams.ownStderr ? &command.stderrSink : &pipe_.stderrSink;
    }

    // Reading the child's report until end of file: nothing when the program has started,
    // else the records of what failed before it.
    static std::string readReport(const Descriptor& controlRead) {
        std::string report;
        std::vector<char> chunk(kChunkSize);
        for (;;) {
            const ssize_t got =
                retry_eintr([&] { return read(controlRead.get(), chunk.data(), chunk.size()); });
            if (got < 0) {
                throw SystemError("control pipe read", errno);
            }
            if (got == 0) {
                return report;
            }
            report.append(chunk.data(), static_cast<std::size_t>(got));
        }
    }

    void loop() {
        BrokenPipeHold brokenPipe;
        Descriptor& input = processes_.front().stdinEnd;
        setNonBlocking(input);
        for (Process& process : processes_) {
            setNonBlocking(process.stdoutEnd);
            setNonBlocking(process.stderrEnd);
        }
        while (!allEnded()) {
            if (input.isOpen() && offset_ == pending_.size()) {
                if (more_) {
                    pending_.clear();
                    offset_ = 0;
                    more_ = pipe_.stdinProvider(pending_);
                }
                if (!more_ && offset_ == pending_.size()) {
                    input.close();
                }
            }

            // Slot 0 is the catcher, slot 1 the input; the outputs follow in process order.
            watched_.clear();
            watched_.push_back({catcher_.notificationDescriptor(), POLLIN, 0});
            watched_.push_back({input.get(), POLLOUT, 0});
            for (Process& process : processes_) {
                watched_.push_back({process.stdoutEnd.get(), POLLIN, 0});
                watched_.push_back({process.stderrEnd.get(), POLLIN, 0});
            }
            if (poll(watched_.data(), watched_.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                // Names select for a poll: the text is part of the tool's output and must stay.
                throw SystemError("select", errno);
            }

            if (input.isOpen() && ready(1)) {
                writeInput(input);
            }
            for (std::size_t index = 0; index < processes_.size(); ++index) {
                Process& process = processes_[index];
                if (ready(2 + 2 * index)) {
                    readOutput(process.stdoutEnd, process.stdoutSink);
                }
                if (ready(3 + 2 * index)) {
                    readOutput(process.stderrEnd, process.stderrSink);
                }
            }
            if (ready(0)) {
                collectExits();
            }
        }
        // Every command has ended: what they wrote is in the pipes already. A descendant
        // that still holds a pipe open (a daemon, a background helper) delays nothing.
        for (Process& process : processes_) {
            drainOutput(process.stdoutEnd, process.stdoutSink);
            drainOutput(process.stderrEnd, process.stderrSink);
        }
    }

    bool allEnded() const {
        for (const CommandStatus& status : pipe_.statuses_) {
            if (!status.ended) {
                return false;
            }
        }
        return true;
    }

    // Whether slot i of the last poll has something to do: data, end of file or an error
    // (which the next read or write reports). Unused slots hold -1 and never report.
    bool ready(std::size_t slot) const { return watched_[slot].revents != 0; }

    void writeInput(Descriptor& input) {
        int saved = errno;
        std::size_t length = pending_.size() - offset_;
        for (;;) {
            const ssize_t written =
                retry_eintr([&] { return write(input.get(), pending_.data() + offset_, length); });
            if (written > 0) {
                offset_ += static_cast<std::size_t>(written);
                break;
            }
            if (written == 0) {
                input.close();
                break;
            }
            if (errno == EAGAIN && length > 1) {
                length /= 2;
                continue;
            }
            throw SystemError("write", errno);
        }
        errno = saved;
    }

    // One read per turn, so that no stream starves the others; the chunk goes to the sink
    // when there is one. Returns false once nothing more is there for now (EAGAIN) or the
    // pipe has reached end of file and is closed.
    static bool readOutput(Descriptor& output, const Sink* sink) {
        if (!output.isOpen()) {
            return false;
        }
        std::vector<char> chunk(kChunkSize);
        const ssize_t got =
            retry_eintr([&] { return read(output.get(), chunk.data(), chunk.size()); });
        if (got > 0) {
            chunk.resize(static_cast<std::size_t>(got));
            if (sink != nullptr && !sink->empty()) {
                (*sink)(chunk);
            }
            return true;
        }
        if (got == 0) {
            if (int error = output.close(); error != 0) {
                throw SystemError("pipe read-end close", error);
            }
            return false;
        }
        if (errno == EAGAIN) {
            return false;
        }
        throw SystemError("read", errno);
    }

    // Reads chunk by chunk until a read yields nothing, then closes the pipe.
    static void drainOutput(Descriptor& output, const Sink* sink) {
        while (readOutput(output, sink)) {
        }
        if (int error = output.close(); error != 0) {
            throw SystemError("pipe read-end close", error);
        }
    }

    void collectExits() {
        catcher_.drain();
        for (std::size_t index = 0; index < processes_.size(); ++index) {
            CommandStatus& status = pipe_.statuses_[index];
            if (status.ended) {
                continue;
            }
            std::optional<ProcessSetCatcher::ChildStatus> child =
                catcher_.lookup(processes_[index].pid);
            if (!child) {
                throw std::out_of_range("no such pid");
            }
            if (child->ended == 0) {
                continue;
            }
            status.ended = true;
            status.status = child->status;
            const ExitFunction& onExit = orPipe(pipe_.commands_[index].onExit, pipe_.onExit);
            if (index == 0) {
                processes_.front().stdinEnd.close();
            }
            if (!onExit.empty()) {
                onExit(index, status.status);
            }
        }
    }

    // After a failure: SIGKILL and reap every child that has not been seen to end (with
    // SIGCHLD held, so the catcher cannot reap it first), close every descriptor and
    // remove the catcher. Nothing here raises.
    void abandon() noexcept {
        sigset_t childSignal;
        sigset_t previous;
        sigemptyset(&childSignal);
        sigaddset(&childSignal, SIGCHLD);
        sigprocmask(SIG_BLOCK, &childSignal, &previous);
        for (std::size_t index = 0; index < processes_.size(); ++index) {
            Process& process = processes_[index];
            if (process.pid <= 0 || pipe_.statuses_[index].ended) {
                continue;
            }
            if (process.registered) {
                try {
                    std::optional<ProcessSetCatcher::ChildStatus> child =
                        catcher_.lookup(process.pid);
                    if (child && child->ended != 0) {
                        continue; // already reaped by the catcher
                    }
                } catch (...) {
                }
            }
            kill(process.pid, SIGKILL);
            waitFor(process.pid);
        }
        processes_.clear();
        stage_.close();
        try {
            catcher_.uninstall(true);
        } catch (...) {
        }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
    }

    Pipe& pipe_;
    ChildSignalHold hold_;
    ProcessSetCatcher catcher_;
    std::vector<Process> processes_;
    Descriptor stage_; // read end of the previous command's output, for the next command
    std::vector<pollfd> watched_;
    std::vector<char> pending_;
    std::size_t offset_ = 0;
    bool more_ = true;
};

Pipe::Pipe(const Command& first) {
    commands_.push_back(first);
}

Pipe::~Pipe() = default;

Pipe& Pipe::add(const Command& next) {
    if (launched_) {
        throw std::logic_error("the pipe has been launched already");
    }
    commands_.push_back(next);
    return *this;
}

int Pipe::run() {
    if (launched_) {
        throw std::logic_error("the pipe has been launched already");
    }
    if (commands_.empty()) {
        throw std::logic_error("No processes to launch were assigned so far");
    }
    launched_ = true;
    statuses_.assign(commands_.size(), CommandStatus());
    Runner runner(*this);
    return runner.run();
}

Sink Pipe::appendTo(std::string& buffer) {
    return boost::bind(&appendChunk, &buffer, boost::placeholders::_1);
}

} // namespace corvo::process
