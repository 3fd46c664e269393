// The pipeline engine's child side: what a child does between its start and its program,
// and the control-pipe records in which it reports a step that failed there.
//
// A child places its streams, changes to its working directory, closes the other
// descriptors when asked, leaves the kept descriptor to a keeper process of its own, runs the
// pre-exec function when there is one and starts its program. A step that fails is written
// to the control pipe as NUL-terminated records, each with a four-byte tag: "ET: " and the
// kind of failure ("SystemError", "std::runtime_error", "std::exception"), "EM: " and its
// text, and after a SystemError "EC: " and the error number in decimal; then the child exits
// with 67 (SystemError), 66 (another standard exception) or 65 (anything else). A program
// that started leaves the control pipe empty: its write end is close-on-exec.
//
// Guarantees: a child without a pre-exec function shares the tool's memory, so its steps use
// system calls only (no heap, no stdio, no exception) and everything it needs is prepared in
// the plan beforehand; a child with one is forked, since that function is the caller's code.
//
// DIAGNOSTICS: startPipeChild returns -1 with errno when no process can be created.
// raiseChildFailure raises the rebuilt failure: corvo::SystemError, std::runtime_error,
// std::exception, else std::bad_exception; an "EC: " record that is no number raises the
// number parser's error.
#pragma once

#include <boost/function.hpp>

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvo::process {

// Everything a child needs after its start, prepared beforehand in the tool.
struct ChildPlan {
    int streams[3] = {-1, -1, -1}; // descriptor to become 0, 1, 2; -1 leaves it alone
    int control = -1;              // write end of the control pipe (close-on-exec)
    const char* program = nullptr;
    std::vector<char*> argv; // null-terminated
    char* const* environment = nullptr;
    const char* workingDirectory = "";
    bool closeOthers = false;
    int kept = -1;       // held by a keeper for as long as the program runs; -1: none
    int keeperLife = -1; // write end of a pipe that the keeper holds until it ends
    const boost::function<void()>* preExec = nullptr; // never null; may be empty
    const sigset_t* mask = nullptr;                   // what the program starts with
};

// Starts the child of plan, which must outlive the call. Returns its process id, or -1.
pid_t startPipeChild(ChildPlan& plan);

// Rebuilds and raises what a child reported on its control pipe (a non-empty report).
[[noreturn]] void raiseChildFailure(const std::string& report);

} // namespace corvo::process
