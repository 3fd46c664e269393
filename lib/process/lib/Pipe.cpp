// The process pipe engine, the tool's side: launching the commands, reading a child's
// control-pipe report, the poll loop, and the cleanup when something fails. What a child
// does before its program, and the records it reports in, are in PipeChild.cpp.
//
// DIAGNOSTICS: see Pipe.hpp. Parent-side system call failures raise corvo::SystemError
// built from the errno of the failed call; a child's start-up failure is rebuilt from its
// control-pipe records; nothing raised leaves an open descriptor or a running child.
#include "lib/process/lib/Pipe.hpp"

#include "diagnostics/Errors.hpp"
#include "lib/base/Descriptor.hpp"
#include "lib/base/eintr.h"
#include "lib/process/lib/BrokenPipeHold.hpp"
#include "lib/process/lib/ChildSignalBlock.hpp"
#include "lib/process/lib/PipeChild.hpp"
#include "lib/process/lib/ProcessSetCatcher.hpp"
#include "lib/process/lib/nonblocking.h"

#include <boost/bind/bind.hpp>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace corvo::process {

namespace {

constexpr std::size_t kChunkSize = 1024;

void setNonBlocking(const Descriptor& fd) {
    if (!fd.isOpen()) {
        return;
    }
    if (int error = set_nonblocking(fd.get()); error != 0) {
        throw SystemError("fcntl", error);
    }
}

void waitFor(pid_t pid) noexcept {
    retry_eintr([pid] { return waitpid(pid, nullptr, 0); });
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
    Descriptor keeperEnd; // end of file once the keeper of the kept descriptor has ended
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

    // SIGCHLD is held off from before the first start until every child is registered with
    // the catcher, so that none can be reaped while the catcher does not know it yet.
    void launch() {
        if (const char* step = hold_.hold()) {
            throw SystemError(step, errno);
        }
        catcher_.install();
        processes_.resize(pipe_.commands_.size());
        for (std::size_t index = 0; index < pipe_.commands_.size(); ++index) {
            launchOne(index);
        }
        if (const char* step = hold_.restore()) {
            throw SystemError(step, errno);
        }
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
        Descriptor keeperWrite;
        if (pipe_.commands_[index].keptDescriptor >= 0) {
            int keeperEnds[2];
            if (pipe2(keeperEnds, O_CLOEXEC) != 0) {
                throw SystemError("pipe", errno);
            }
            process.keeperEnd = Descriptor(keeperEnds[0]);
            keeperWrite = Descriptor(keeperEnds[1]);
        }

        ChildPlan plan = planChild(pipe_.commands_[index], streams, controlWrite.get());
        plan.keeperLife = keeperWrite.get();
        process.pid = spawn(plan);
        controlWrite.close();
        keeperWrite.close();
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
        if (command.ownStdin >= 0) {
            stage_.close();
            streams.in = plumb(command.ownStdin, true, "stdin");
        } else if (index == 0) {
            streams.in = plumb(pipe_.stdinCode, true, "stdin");
        } else if (stage_.isOpen()) {
            streams.in.childCopy = std::move(stage_);
            streams.in.childFd = streams.in.childCopy.get();
        } else {
            // The previous command writes elsewhere (its own output).
            streams.in = plumb(kFdDevNull, true, "stdin");
        }
        const bool last = index + 1 == pipe_.commands_.size();
        streams.out = command.ownStdout >= 0
                          ? plumb(command.ownStdout, false, "stdout")
                          : plumb(last ? pipe_.stdoutCode : kFdPipe, false, "stdout");
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
        plan.kept = command.keptDescriptor;
        plan.preExec = &orPipe(command.preExec, pipe_.preExec);
        plan.mask = &hold_.previous();
        return plan;
    }

    // Starting the child: sharing the tool's memory when it only starts the program, forked
    // when it runs the caller's pre-exec function first.
    static pid_t spawn(ChildPlan& plan) {
        const pid_t pid = startPipeChild(plan);
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
        awaitKeepers();
    }

    // The keeper of a kept descriptor ends with its command, at once; once every one has,
    // what they kept (a lock) is released, so that the caller finds it free when run returns
    // or raises. Called when every command has ended or never started.
    void awaitKeepers() noexcept {
        for (Process& process : processes_) {
            Descriptor& keeperEnd = process.keeperEnd;
            if (!keeperEnd.isOpen()) {
                continue;
            }
            if (const int flags = fcntl(keeperEnd.get(), F_GETFL); flags >= 0) {
                fcntl(keeperEnd.get(), F_SETFL, flags & ~O_NONBLOCK);
            }
            char byte;
            while (retry_eintr([&] { return read(keeperEnd.get(), &byte, 1); }) > 0) {
            }
            keeperEnd.close();
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
        ChildSignalBlock block;
        (void)block.hold();
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
        awaitKeepers();
        processes_.clear();
        stage_.close();
        try {
            catcher_.uninstall(true);
        } catch (...) {
        }
    }

    Pipe& pipe_;
    ChildSignalBlock hold_;
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
