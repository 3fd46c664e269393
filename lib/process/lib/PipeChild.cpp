// The pipeline engine's child side: the steps before the program, the two kinds of child and
// the control-pipe records.
//
// DIAGNOSTICS: see PipeChild.hpp.
#include "lib/process/lib/PipeChild.hpp"

#include "diagnostics/Errors.hpp"
#include "lib/process/lib/close_from.h"
#include "lib/process/lib/fork_exec.h"
#include "lib/process/lib/place_streams.h"
#include "lib/process/lib/spawn_child.h"

#include <boost/lexical_cast.hpp>

#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <iostream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace corvo::process {

namespace {

// Child exit codes after a start-up failure, by the kind of what was raised.
constexpr int kExitSystemError = 67;
constexpr int kExitStandardError = 66;
constexpr int kExitUnknownError = 65;

constexpr const char* kTypeTag = "ET: ";
constexpr const char* kMessageTag = "EM: ";
constexpr const char* kCodeTag = "EC: ";
constexpr std::size_t kTagLength = 4;

// One record of a forked child's report: the tag, the text and its NUL. It allocates, so only
// a forked child writes records this way; a child that shares the tool's memory writes its
// one report with reportStepFailure.
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

// The keeper of a kept descriptor: a process of its own, forked from the child before it
// starts its program, that keeps nothing open but that descriptor and ends only when its
// parent, the program, has ended (the parent-death signal). The program itself gets the
// descriptor closed at exec, so nothing it starts in turn can hold it. The keeper also holds
// `life`, a pipe's write end, as its standard input, so that the tool can see it end. A bare
// clone: a child that shares the tool's memory may run no fork handler. Returns 0 in the
// child, or -1 with errno.
CHILD_ENDS_HERE int startKeeper(int kept, int life) {
    const pid_t program = getpid();
    const long keeper = syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr);
    if (keeper != 0) {
        return keeper < 0 ? -1 : 0;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != program) {
        _exit(0); // the program is gone already
    }
    if (life > 0) {
        if (dup2(life, 0) != 0) {
            _exit(0);
        }
        close_from(1, kept);
    } else {
        close_from(0, kept);
    }
    for (;;) {
        pause();
    }
}

// The child's steps before its program: signal state, streams, working directory, other
// descriptors, the control pipe's close-on-exec flag; the keeper of the kept descriptor first.
// No heap, no stdio, no exception: this runs in a child that shares the tool's memory.
// Returns the step that failed (errno says why), or null.
const char* prepareChild(ChildPlan& plan) {
    static const char* const kDupNames[3] = {"stdin dup2", "stdout dup2", "stderr dup2"};
    // The program gets the signal state the tool had before the pipeline started: SIGCHLD
    // unblocked and not caught, SIGPIPE at its default (a broken pipe should end a child as
    // it ends any program), no handler of the tool.
    child_reset_signals(plan.mask);
    if (plan.kept >= 0 && startKeeper(plan.kept, plan.keeperLife) != 0) {
        return "keeper fork";
    }
    if (const int failed = place_streams(plan.streams); failed >= 0) {
        return kDupNames[failed];
    }
    if (plan.workingDirectory[0] != '\0' && chdir(plan.workingDirectory) != 0) {
        return "cwd chdir";
    }
    if (plan.closeOthers) {
        close_from(3, plan.control);
    }
    if (fcntl(plan.control, F_SETFD, FD_CLOEXEC) != 0) {
        return "control pipe close-on-exec fcntl";
    }
    return nullptr;
}

// Starts the program, repeating on EINTR; returns the call that failed. The retries are
// written out rather than taken from retry_eintr: a child that shares the tool's memory calls
// nothing but system calls and the steps of spawn_child.h.
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

} // namespace

pid_t startPipeChild(ChildPlan& plan) {
    const bool forked = !plan.preExec->empty();
    if (forked) {
        // The pre-exec function may write to stdio: nothing of the tool's own output may be
        // in the forked child's copy of the buffers.
        fork_exec::flushStandardStreams();
    }
    return spawn_child(forked ? &forkedChild : &spawnedChild, &plan, forked,
                       exec_stack_need(plan.argv.data()));
}

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

} // namespace corvo::process
