// The process pipe engine: runs a pipeline of one or more commands, the standard output of
// each feeding the standard input of the next, writes what a provider function produces to
// the pipeline's standard input and hands its outputs in chunks of at most 1024 bytes to
// sink functions, all from one poll loop that never blocks on a child.
//
//     Pipe pipe(Command("/usr/sbin/postmap", "-r", "-i", table));
//     pipe.setStdin(kFdPipe, provider);
//     std::string errors;
//     pipe.setStderr(kFdPipe, Pipe::appendTo(errors));
//     int status = pipe.run(); // raw wait status of the last command
//
// Guarantees: run returns once every command has ended; what the commands wrote before they
// ended is read from the pipes and handed to the sinks, then the pipes are closed. A
// descendant that keeps an output pipe open after its parent command ended (a daemonising
// grandchild) holds nothing up, and what it writes later is lost. No descriptor number is
// too high to watch. Children are started without copying the tool's address space (a
// command with a pre-exec function is forked: that function is the caller's code). They
// start with the tool's signal mask as it was before run, with no handler of the tool and
// with SIGCHLD and SIGPIPE at their default actions; the tool itself holds SIGPIPE off only
// while it serves the pipeline, so a reader that has gone shows as the "write" error (EPIPE)
// and the caller's signal state is as it was. When run raises, every descriptor it opened is
// closed, the child-exit catcher is removed and every child still running is killed with
// SIGKILL and reaped: a pipeline that failed half-way has nobody left to feed it or read from
// it.
//
// DIAGNOSTICS: nothing ends the process and nothing is returned as a failure; everything is
// raised. Misuse (a second run, no commands) raises std::logic_error, a bad descriptor code
// std::invalid_argument, a standard-input pipe without a provider boost::bad_function_call.
// A failed system call in the tool raises corvo::SystemError with a short text naming the
// step and errno. A failure in a child before its program starts comes back over a control
// pipe (lib/process/lib/PipeChild.hpp) and is raised in the tool as an exception of its kind
// (corvo::SystemError, std::runtime_error, std::exception, else std::bad_exception).
#pragma once

#include <boost/function.hpp>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace corvo::process {

// Descriptor codes for a command's standard streams. A value of 0 or more is an open
// descriptor of the tool handed to the child.
inline constexpr int kFdUnset = -1;   // nothing set; taken as kFdInherit
inline constexpr int kFdInherit = -2; // the child shares the tool's own stream
inline constexpr int kFdDevNull = -3; // /dev/null
inline constexpr int kFdPipe = -4;    // a new pipe to the tool (or to the next command)

// Appends bytes to the vector; returns true while more data follows.
using Provider = boost::function<bool(std::vector<char>&)>;
// Receives one chunk of output.
using Sink = boost::function<void(const std::vector<char>&)>;
// Called in the tool with a command's index in the pipeline and its raw wait status.
using ExitFunction = boost::function<void(std::size_t index, int status)>;

// Settings that a command and the whole pipeline share. A command's unset working
// directory, environment, pre-exec function, standard-error setting and exit function are
// taken from the pipeline's; the pipeline's close-other-descriptors flag applies to all.
struct CommonFlags {
    std::string workingDirectory;       // empty: the tool's
    char* const* environment = nullptr; // null-terminated name=value texts; null: inherited
    bool closeOtherDescriptors = false; // close 3 and up in the child before exec
    boost::function<void()> preExec;    // runs in the child just before the program
    int stderrCode = kFdUnset;
    Sink stderrSink; // used when stderrCode is kFdPipe; may be empty
    ExitFunction onExit;

    void setStderr(int code, Sink sink = Sink()) {
        stderrCode = code;
        stderrSink = std::move(sink);
    }
};

// One program with its arguments. The executable is run as given when set, else argv[0]
// (searched in PATH when it starts with neither "." nor "/").
class Command : public CommonFlags {
public:
    // Takes the program and up to ten arguments, stopping at the first empty one. Beware
    // `Pipe pipe(Command(name));` with a lone variable: C++ reads it as a function
    // declaration; write `Pipe pipe{Command(name)};`.
    Command(const std::string& program, const std::string& a1 = {}, const std::string& a2 = {},
            const std::string& a3 = {}, const std::string& a4 = {}, const std::string& a5 = {},
            const std::string& a6 = {}, const std::string& a7 = {}, const std::string& a8 = {},
            const std::string& a9 = {}, const std::string& a10 = {});

    std::string executable; // empty: argv[0]
    std::vector<std::string> argv;
    // A descriptor of the tool that stays open for exactly as long as the program runs, even
    // when the tool has ended: a keeper process, started by the child and ended by the
    // program's end (its parent-death signal), holds it and nothing else. The program and
    // whatever it starts do not get it. postmap holds the table's lock this way, so that a
    // tool killed while postmap writes leaves the table locked until postmap has ended, and
    // a descendant that postmap leaves behind never holds it. run returns once the keeper
    // has ended too, which it does as soon as the program has: the descriptor's lock is free
    // by then. -1: none.
    int keptDescriptor = -1;
    // Open descriptors of the tool that the program reads its standard input from, instead of
    // the previous command's output (which then goes nowhere) or the pipeline's input, and
    // writes its standard output to, instead of the next command (which then reads from
    // /dev/null unless it has its own) or the pipeline's output. Commands with both run side
    // by side: several independent programs in one run, whose statuses reach onExit. -1: none.
    int ownStdin = -1;
    int ownStdout = -1;
};

// The pipeline's own standard input and output, on top of the shared settings.
class PipeFlags : public CommonFlags {
public:
    void setStdin(int code, Provider provider = Provider()) {
        stdinCode = code;
        stdinProvider = std::move(provider);
    }
    void setStdout(int code, Sink sink = Sink()) {
        stdoutCode = code;
        stdoutSink = std::move(sink);
    }

    int stdinCode = kFdUnset;
    Provider stdinProvider; // used when stdinCode is kFdPipe
    int stdoutCode = kFdUnset;
    Sink stdoutSink; // used when stdoutCode is kFdPipe; may be empty
};

class Pipe : public PipeFlags {
public:
    explicit Pipe(const Command& first);
    virtual ~Pipe();

    // Appends a command; its standard input is the previous command's standard output.
    Pipe& add(const Command& next);

    // Launches the pipeline, feeds and drains it until every command has ended and every
    // output has reached end of file; returns the raw wait status of the last command.
    // Raises as described at the top of this file. A pipeline runs once.
    int run();

    // A sink that appends every chunk to buffer, which must outlive the run.
    static Sink appendTo(std::string& buffer);

private:
    struct CommandStatus {
        bool ended = false;
        int status = -1;
    };
    struct Process;
    class Runner;

    std::vector<Command> commands_;
    std::vector<CommandStatus> statuses_;
    bool launched_ = false;
};

} // namespace corvo::process
