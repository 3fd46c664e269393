// Fork and exec engine: runs one program as a child process with three pipes, feeds its
// standard input from a provider, hands its standard output and standard error to consumers
// while it runs, waits for it and returns its exit status.
//
// Guarantees: the parent never blocks on one stream while the child blocks on another (all
// parent ends are non-blocking and served by one poll loop); the run ends when the child has
// ended: what its outputs hold then is handed over and the pipes are closed, so a descendant
// that keeps them open (a background process, a daemon the child started) holds nothing up,
// and what it writes later is lost. The child is always waited for, also when a callback or
// the loop raises: it then gets SIGTERM, and SIGKILL when it has not ended 2 seconds later.
// Every pipe end is closed on every path; the child starts with descriptors 0, 1 and 2
// only, with the caller's signal mask and with no handler of the tool. A child that closes
// its standard input early ends the feeding quietly: SIGPIPE is held off in the tool for the
// length of the loop only (lib/process/lib/BrokenPipeHold.hpp).
//
// The child is started without copying the tool's address space (lib/process/lib/
// spawn_child.h); only a command that runs as another user is forked, because the account
// lookup cannot run in a child that shares the tool's memory (lib/process/lib/user_switch.h).
//
// DIAGNOSTICS: a failure in the tool before the child starts (creating the pipes, making them
// non-blocking) ends the process through message_exit with status 1. A failure once the
// child is being started (fork, poll, read, write) is raised as corvo::SystemError (or
// ExSystemError<N>), only after the child has been ended and reaped. A failed wait is
// returned as -1, the same as a child ended by a signal. In the child, a failure before exec writes
// its corvo::SystemError text on standard error and exits with 1; user-switch and exec failures end
// it through message_exit with status 1, so their text reaches the parent as output on both
// streams.
//
// The engine lives in namespace fork_exec, so that its short names stay clear of the C
// library's.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <string>

namespace fork_exec {

// Fills up to capacity bytes of buffer with standard input for the child; 0 ends the input.
using provider_fn = std::size_t (*)(char* buffer, std::size_t capacity, void* context);
// Receives count bytes that the child wrote; a null consumer drops the data.
using consumer_fn = void (*)(const char* bytes, std::size_t count, void* context);

using environment_map = std::map<std::string, std::string>;

// What to run: program (searched on PATH when it has no slash) with the null-terminated argv,
// as user (empty or null: no switch; with changeToHome, in that user's home directory), with
// the environment entries set over the inherited ones. Everything must outlive the call.
struct child_command {
    const char* program;
    char* const* argv;
    const char* user;
    bool changeToHome;
    const environment_map& environment;
};

// Where the child's standard input comes from and where its output goes: the functions get
// context; each stream has a buffer of its own size (0 counts as 1).
struct child_streams {
    provider_fn provider;
    consumer_fn onStdout;
    consumer_fn onStderr;
    void* context;
    std::size_t stdinBufferSize;
    std::size_t stdoutBufferSize;
    std::size_t stderrBufferSize;
};

// Runs command with its streams served by streams. Returns the child's exit status (0..255),
// or -1 when a signal ended it or the wait failed.
int forkExecvGetOutErr(const child_command& command, const child_streams& streams);

// The form used by corvo::ExecCmd: feeds stdinText, appends the captured streams to
// stdoutText and stderrText (which are not cleared first), 4096-byte buffers.
int forkExecvGetOutErr(const child_command& command, const std::string& stdinText,
                       std::string& stdoutText, std::string& stderrText);

// Starts the child (a fork only when a user is set); it places childStdin, childStdout and
// childStderr on 0, 1 and 2 (-1 stands for /dev/null), closes everything above, switches
// user, sets the environment and execs.
// Returns the child's process id; never returns in the child. Raises
// "forkExecvPipes: fork() failed".
pid_t forkExecvPipes(int childStdin, int childStdout, int childStderr,
                     const child_command& command);

// Makes target refer to descriptor's file and closes descriptor; -1 stands for a fresh
// /dev/null opened read-write; a descriptor equal to target is left alone. Raises
// "dup2Custom failed".
void dup2Custom(int descriptor, int target);

// Reads descriptor until it would block, handing each chunk to consumer. Returns true while
// the descriptor stays open, false at end of file. Raises "readToCallback failed".
bool readToCallback(int descriptor, consumer_fn consumer, void* context, char* buffer,
                    std::size_t size);

// Writes pending bytes of buffer, refilling it from provider, until the descriptor would block
// (true: more may follow; *pending keeps what is left) or the input is complete or the reader
// has gone (false). Raises "writeFromCallback failed".
bool writeFromCallback(int descriptor, char* buffer, std::size_t size, std::size_t* pending,
                       provider_fn provider, void* context);

// Writes out what the tool's stdout and stderr buffers hold; called before every fork, since a
// child that leaves through exit() would write it again. A stream with nothing pending is not
// touched: after a fork, every page the tool writes costs a copy-on-write fault. The tool opens
// no other stdio stream for writing.
void flushStandardStreams();

} // namespace fork_exec
