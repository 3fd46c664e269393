// Fork and exec engine: one child with three pipes, served by one poll loop.
//
// The parent's descriptors are held by move-only owners so that every exit path, a raised
// exception included, closes them; the child is always waited for before anything is raised.
// The loop watches the child's end through a pidfd beside the pipes, so it learns of the exit
// without a signal handler and without a race: the child stays a zombie until it is reaped
// here.
// SIGPIPE is held off in the parent only, after the start and for the length of the loop, so
// a child that stopped reading ends the feeding (EPIPE) and nothing else.
//
// DIAGNOSTICS: see fork_exec.h.
#include "lib/process/lib/fork_exec.h"

#include "diagnostics/Errors.hpp"
#include "diagnostics/log.h"
#include "lib/base/Descriptor.hpp"
#include "lib/base/eintr.h"
#include "lib/process/lib/BrokenPipeHold.hpp"
#include "lib/process/lib/close_from.h"
#include "lib/process/lib/nonblocking.h"
#include "lib/process/lib/place_streams.h"
#include "lib/process/lib/spawn_child.h"
#include "lib/process/lib/user_switch.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace fork_exec {
namespace {

using corvo::Descriptor;

// How long the child of a failed run has to end after SIGTERM before it gets SIGKILL.
constexpr int kTermGraceMs = 2000;
// Without a watch on the child's end, how often the loop looks whether it has ended.
constexpr int kExitLookMs = 100;

struct PipeEnds {
    Descriptor read;
    Descriptor write;
};

PipeEnds makePipe() {
    int ends[2];
    if (::pipe(ends) != 0)
        message_exit(1, "forkExecvGetOutErr: pipe() failed");
    return {Descriptor(ends[0]), Descriptor(ends[1])};
}

void setNonBlocking(const Descriptor& descriptor) {
    if (set_nonblocking(descriptor.get()) != 0)
        message_exit(1, "forkExecvGetOutErr: fcntl(O_NONBLOCK) failed");
}

// Where the corvo::ExecCmd form of the engine takes its input and puts its output.
struct TextContext {
    const std::string& input;
    std::size_t offset;
    std::string& output;
    std::string& errors;
};

std::size_t provideText(char* buffer, std::size_t capacity, void* context) {
    auto* text = static_cast<TextContext*>(context);
    const std::size_t count = std::min(capacity, text->input.size() - text->offset);
    std::memcpy(buffer, text->input.data() + text->offset, count);
    text->offset += count;
    return count;
}

void appendOutput(const char* bytes, std::size_t count, void* context) {
    static_cast<TextContext*>(context)->output.append(bytes, count);
}

void appendErrors(const char* bytes, std::size_t count, void* context) {
    static_cast<TextContext*>(context)->errors.append(bytes, count);
}

// What a child that shares the tool's memory needs, prepared before the spawn.
struct SpawnPlan {
    int sources[3];
    const char* program;
    char* const* argv;
    char* const* environment; // the whole environment; null: the tool's own
    sigset_t mask;            // the caller's signal mask, for the program
    const char* user;         // the account to switch to (forked children only); null: none
    bool changeToHome;
};

// The system's text for an error number, from its static table (strerror may translate).
void writeErrorText(int descriptor, int error) {
    if (const char* text = ::strerrordesc_np(error)) {
        child_write_text(descriptor, text);
    } else {
        child_write_text(descriptor, "Unknown error ");
        child_write_decimal(descriptor, error);
    }
}

// A failed step before exec: its corvo::SystemError text on standard error, status 1.
[[noreturn]] CHILD_ENDS_HERE void failStep(const char* step) {
    const int error = errno;
    child_write_text(2, step);
    child_write_text(2, ": ");
    writeErrorText(2, error);
    child_write_text(2, "\n");
    ::_exit(1);
}

// The child's side of forkExecvPipes: streams in place, everything else closed, the user
// switched, the program started. Without a user it runs sharing the tool's memory, so it
// calls nothing but system calls and the steps of spawn_child.h, place_streams.h and
// close_from.h; the user switch looks the account up, which only a forked child may do.
// Its failure texts are those of the message routine.
CHILD_ENDS_HERE int startChild(void* argument) {
    auto& plan = *static_cast<SpawnPlan*>(argument);
    child_reset_signals(&plan.mask);
    for (int& source : plan.sources)
        if (source < 0 && (source = ::open("/dev/null", O_RDWR)) < 0)
            failStep("dup2Custom failed");
    if (place_streams(plan.sources) >= 0)
        failStep("dup2Custom failed");
    close_from(3);
    if (plan.user != nullptr)
        switchToUser(plan.user, plan.changeToHome);
    if (plan.environment != nullptr)
        ::execvpe(plan.program, plan.argv, plan.environment);
    else
        ::execvp(plan.program, plan.argv);
    const int error = errno;
    for (const int stream : {2, 1}) {
        // Names execv whichever exec ran: the text is part of the tool's output and must stay.
        child_write_text(stream, "forkExecvPipes: execv() failed: ");
        writeErrorText(stream, error);
        child_write_text(stream, "\n\nSystem error ");
        child_write_decimal(stream, error);
        child_write_text(stream, ": ");
        writeErrorText(stream, error);
        child_write_text(stream, "\n");
    }
    ::_exit(1);
}

// The tool's environment with the map's entries set over it, as setenv would leave it.
struct EnvironmentBlock {
    std::vector<std::string> entries;
    std::vector<char*> pointers;
};

EnvironmentBlock mergedEnvironment(const environment_map& overrides) {
    EnvironmentBlock block;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (!overrides.contains(text.substr(0, text.find('='))))
            block.entries.push_back(text);
    }
    for (const auto& [name, value] : overrides)
        block.entries.push_back(name + "=" + value);
    for (std::string& entry : block.entries)
        block.pointers.push_back(entry.data());
    block.pointers.push_back(nullptr);
    return block;
}

// The three pipes of one run. The child's ends (input.read, output.write, errors.write) are
// closed once the child has its copies; the parent's ends are non-blocking.
struct ChildPipes {
    PipeEnds input;
    PipeEnds output;
    PipeEnds errors;
};

// Opening the pipes: a failure ends the tool.
ChildPipes openPipes() {
    ChildPipes pipes{makePipe(), makePipe(), makePipe()};
    setNonBlocking(pipes.input.write);
    setNonBlocking(pipes.output.read);
    setNonBlocking(pipes.errors.read);
    return pipes;
}

// The three stream buffers in one block, allocated before the child starts so that running
// out of memory cannot leave a child behind; not cleared, so that only the bytes that pass
// through it are ever touched.
struct StreamBuffers {
    std::size_t inSize;
    std::size_t outSize;
    std::size_t errSize;
    std::unique_ptr<char[]> block;

    char* in() const { return block.get(); }
    char* out() const { return block.get() + inSize; }
    char* err() const { return block.get() + inSize + outSize; }
};

StreamBuffers allocateBuffers(const child_streams& streams) {
    StreamBuffers buffers{std::max<std::size_t>(streams.stdinBufferSize, 1),
                          std::max<std::size_t>(streams.stdoutBufferSize, 1),
                          std::max<std::size_t>(streams.stderrBufferSize, 1), nullptr};
    buffers.block =
        std::make_unique_for_overwrite<char[]>(buffers.inSize + buffers.outSize + buffers.errSize);
    return buffers;
}

// Starting the child on its ends of the pipes, which are closed here once it has them.
pid_t launch(ChildPipes& pipes, const child_command& command) {
    const pid_t child = forkExecvPipes(pipes.input.read.get(), pipes.output.write.get(),
                                       pipes.errors.write.get(), command);
    pipes.input.read.close();
    pipes.output.write.close();
    pipes.errors.write.close();
    return child;
}

// The child's end, as a descriptor that becomes readable once the child has ended (a pidfd,
// close-on-exec by itself); not open on a kernel without one, or when no descriptor is left.
Descriptor watchExit(pid_t child) {
    return Descriptor(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
}

// Whether the child has ended, without reaping it. A failed look (nobody left to wait for)
// counts as ended, so that no loop waits for a child that cannot be seen.
bool hasEnded(pid_t child) {
    siginfo_t info{};
    const int looked = retry_eintr([&] {
        return ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT);
    });
    return looked != 0 || info.si_pid == child;
}

// Whether the child ends within milliseconds, without reaping it: poll on its end, or
// without one (or when poll fails) a look every 10 ms.
bool endsWithin(pid_t child, const Descriptor& exitWatch, int milliseconds) {
    using std::chrono::steady_clock;
    const auto deadline = steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!hasEnded(child)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now())
                .count();
        if (left <= 0)
            return false;
        const int step = static_cast<int>(std::min<long>(left, 10));
        pollfd watched{exitWatch.get(), POLLIN, 0};
        if (::poll(&watched, 1, exitWatch.isOpen() ? static_cast<int>(left) : step) < 0)
            (void)::poll(nullptr, 0, step);
    }
    return true;
}

// Hands over what the pipe holds now and no more, then closes the tool's end: a descendant
// that goes on writing cannot keep the engine reading.
void drainHeld(Descriptor& end, consumer_fn consumer, void* context, char* buffer,
               std::size_t size) {
    if (!end.isOpen())
        return;
    int held = 0;
    if (::ioctl(end.get(), FIONREAD, &held) != 0)
        corvo::throwSystemError("readToCallback failed", errno);
    while (held > 0) {
        const std::size_t wanted = std::min(size, static_cast<std::size_t>(held));
        const ssize_t count = retry_eintr([&] { return ::read(end.get(), buffer, wanted); });
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            corvo::throwSystemError("readToCallback failed", errno);
        if (count <= 0)
            break;
        if (consumer != nullptr)
            consumer(buffer, static_cast<std::size_t>(count), context);
        held -= static_cast<int>(count);
    }
    end.close();
}

// One turn of the loop: wait until an open end is ready or the child has ended, then write
// what the provider has and read what the child wrote. An end that is finished is closed.
// pending is the count of provider bytes not yet written. Returns whether the child has ended.
bool serveTurn(ChildPipes& pipes, const Descriptor& exitWatch, pid_t child,
               const StreamBuffers& buffers, const child_streams& streams, std::size_t& pending) {
    Descriptor& toChild = pipes.input.write;
    Descriptor& fromStdout = pipes.output.read;
    Descriptor& fromStderr = pipes.errors.read;
    // A closed end holds -1, which poll passes over.
    pollfd watched[4] = {{toChild.get(), POLLOUT, 0},
                         {fromStdout.get(), POLLIN, 0},
                         {fromStderr.get(), POLLIN, 0},
                         {exitWatch.get(), POLLIN, 0}};
    if (::poll(watched, 4, exitWatch.isOpen() ? -1 : kExitLookMs) < 0) {
        if (errno == EINTR)
            return false;
        // The text names select: it is part of the tool's output and must stay.
        corvo::throwSystemError("forkExecvGetOutErr: select() failed", errno);
    }
    if (toChild.isOpen() && watched[0].revents != 0 &&
        !writeFromCallback(toChild.get(), buffers.in(), buffers.inSize, &pending, streams.provider,
                           streams.context))
        toChild.close();
    if (fromStdout.isOpen() && watched[1].revents != 0 &&
        !readToCallback(fromStdout.get(), streams.onStdout, streams.context, buffers.out(),
                        buffers.outSize))
        fromStdout.close();
    if (fromStderr.isOpen() && watched[2].revents != 0 &&
        !readToCallback(fromStderr.get(), streams.onStderr, streams.context, buffers.err(),
                        buffers.errSize))
        fromStderr.close();
    return (!exitWatch.isOpen() || watched[3].revents != 0) && hasEnded(child);
}

// Serving the streams, with SIGPIPE held off, until the child has ended (or, without a watch
// on its end, all three parent ends are closed). Once it has ended, what its outputs hold is
// read and every end closed, whoever else still holds the pipes. What a step raises is kept
// and returned: the child gets SIGTERM and the ends are closed, and the exception waits until
// the child has been reaped.
std::exception_ptr serveStreams(ChildPipes& pipes, const Descriptor& exitWatch,
                                const StreamBuffers& buffers, const child_streams& streams,
                                pid_t child) {
    corvo::process::BrokenPipeHold hold;
    std::size_t pending = 0;
    try {
        bool ended = false;
        while (!ended && (exitWatch.isOpen() || pipes.input.write.isOpen() ||
                          pipes.output.read.isOpen() || pipes.errors.read.isOpen()))
            ended = serveTurn(pipes, exitWatch, child, buffers, streams, pending);
        pipes.input.write.close();
        drainHeld(pipes.output.read, streams.onStdout, streams.context, buffers.out(),
                  buffers.outSize);
        drainHeld(pipes.errors.read, streams.onStderr, streams.context, buffers.err(),
                  buffers.errSize);
        return nullptr;
    } catch (...) {
        ::kill(child, SIGTERM);
        pipes.input.write.close();
        pipes.output.read.close();
        pipes.errors.read.close();
        return std::current_exception();
    }
}

// Waiting for the child and collecting the result: a child of a failed run that has not
// ended kTermGraceMs after its SIGTERM is killed; what the loop kept is raised now;
// otherwise the exit status, or -1 when a signal ended the child or the wait failed.
int collectExit(pid_t child, const Descriptor& exitWatch, const std::exception_ptr& kept) {
    if (kept && !endsWithin(child, exitWatch, kTermGraceMs))
        ::kill(child, SIGKILL);
    int status = 0;
    const pid_t waited = retry_eintr([&] { return ::waitpid(child, &status, 0); });
    if (kept)
        std::rethrow_exception(kept);
    if (waited < 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace

int forkExecvGetOutErr(const child_command& command, const child_streams& streams) {
    ChildPipes pipes = openPipes();
    const StreamBuffers buffers = allocateBuffers(streams);
    const pid_t child = launch(pipes, command);
    const Descriptor exitWatch = watchExit(child);
    const std::exception_ptr kept = serveStreams(pipes, exitWatch, buffers, streams, child);
    return collectExit(child, exitWatch, kept);
}

int forkExecvGetOutErr(const child_command& command, const std::string& stdinText,
                       std::string& stdoutText, std::string& stderrText) {
    TextContext context{stdinText, 0, stdoutText, stderrText};
    return forkExecvGetOutErr(
        command, {provideText, appendOutput, appendErrors, &context, 4096, 4096, 4096});
}

pid_t forkExecvPipes(int childStdin, int childStdout, int childStderr,
                     const child_command& command) {
    EnvironmentBlock merged;
    if (!command.environment.empty())
        merged = mergedEnvironment(command.environment);
    const bool switchUser = command.user != nullptr && *command.user != '\0';
    SpawnPlan plan{{childStdin, childStdout, childStderr},
                   command.program,
                   command.argv,
                   command.environment.empty() ? nullptr : merged.pointers.data(),
                   {},
                   switchUser ? command.user : nullptr,
                   command.changeToHome};
    pthread_sigmask(SIG_BLOCK, nullptr, &plan.mask);
    // A user switch is forked; its child's message routine may flush a copy of the tool's
    // stdio buffers into the pipes, so what the tool has written so far goes out first.
    if (switchUser)
        flushStandardStreams();
    const pid_t child = spawn_child(&startChild, &plan, switchUser, exec_stack_need(command.argv));
    if (child < 0)
        corvo::throwSystemError("forkExecvPipes: fork() failed", errno);
    return child;
}

void flushStandardStreams() {
    for (FILE* stream : {stdout, stderr})
        if (__fpending(stream) > 0)
            (void)std::fflush(stream);
}

void dup2Custom(int descriptor, int target) {
    if (descriptor == target)
        return;
    if (descriptor < 0) {
        descriptor = ::open("/dev/null", O_RDWR);
        if (descriptor < 0)
            corvo::throwSystemError("dup2Custom failed", errno);
        if (descriptor == target)
            return;
    }
    if (retry_eintr([=] { return ::dup2(descriptor, target); }) < 0)
        corvo::throwSystemError("dup2Custom failed", errno);
    ::close(descriptor);
}

bool readToCallback(int descriptor, consumer_fn consumer, void* context, char* buffer,
                    std::size_t size) {
    for (;;) {
        const ssize_t count = retry_eintr([=] { return ::read(descriptor, buffer, size); });
        if (count > 0) {
            if (consumer != nullptr)
                consumer(buffer, static_cast<std::size_t>(count), context);
            continue;
        }
        if (count == 0)
            return false;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        corvo::throwSystemError("readToCallback failed", errno);
    }
}

bool writeFromCallback(int descriptor, char* buffer, std::size_t size, std::size_t* pending,
                       provider_fn provider, void* context) {
    for (;;) {
        if (*pending == 0) {
            *pending = provider != nullptr ? provider(buffer, size, context) : 0;
            if (*pending == 0)
                return false;
        }
        const ssize_t written = retry_eintr([=] { return ::write(descriptor, buffer, *pending); });
        if (written >= 0) {
            const auto count = static_cast<std::size_t>(written);
            std::memmove(buffer, buffer + count, *pending - count);
            *pending -= count;
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        if (errno == EPIPE)
            return false;
        corvo::throwSystemError("writeFromCallback failed", errno);
    }
}

} // namespace fork_exec
