// One external command: a program and its arguments, run once as a child process with its
// standard output and standard error captured, its return code recorded.
//
// run() fails when the return code is not 0 (a child ended by a signal gives -1) by raising
// Exc<&ExecCmd::Failed, ExDefault>, whose text shows the quoted command line and every
// non-empty stream; runNoThrow() swallows every failure and returns the recorded code.
// exec() raises only what the engine raises (corvo::SystemError family). There is no
// time-out: a child that never ends blocks the caller; a descendant that it leaves holding
// its output does not.
#pragma once

#include "diagnostics/Traceable.hpp"
#include "lib/process/lib/CmdLine.hpp"

#include <cstdint>
#include <map>
#include <string>

namespace corvo {

class ExecCmd : public CmdLine {
public:
    // Tag of the command failure; its text is "ExecCmd::ExFailed".
    static const ExTag Failed;

    explicit ExecCmd(const std::string& program);
    ~ExecCmd() override;

    ExecCmd& add(const std::string& argument) override;
    // Sets a variable for the child (over the inherited one); a second call replaces it.
    virtual void setEnv(const std::string& name, const std::string& value);
    // exec(), then reportError() unless the return code is 0. Returns 0.
    virtual int run();
    // exec() with every failure swallowed; returns the recorded return code (-1 when the run
    // never got that far).
    virtual int runNoThrow();
    // Runs the command once; returns the child's exit status, or -1 when a signal ended it.
    virtual int exec();
    // Raises the command failure for the recorded results.
    [[noreturn]] void reportError() const;

    void setStdinText(const std::string& text) { stdinText_ = text; }
    void setUser(const std::string& user) { user_ = user; }
    void setChangeToHome(bool changeToHome) { changeToHome_ = changeToHome; }

    const std::string& program() const { return program_; }
    bool started() const { return started_; }
    bool finished() const { return finished_; }
    std::int32_t returnCode() const { return returnCode_; }
    const std::string& stdoutText() const { return stdoutText_; }
    const std::string& stderrText() const { return stderrText_; }
    std::int32_t errorNumber() const { return errorNumber_; }
    const std::string& lastError() const { return lastError_; }

private:
    std::string program_;
    std::string stdinText_;
    std::string user_;
    bool changeToHome_ = true;
    std::map<std::string, std::string> environment_;
    std::string stdoutText_;
    std::string stderrText_;
    bool started_ = false;
    bool finished_ = false;
    std::int32_t errorNumber_ = 0;
    std::int32_t returnCode_ = -1;
    std::string lastError_;
};

// The exception raised by ExecCmd::run() and ExecCmd::reportError().
using ExecCmdFailed = Exc<&ExecCmd::Failed, ExDefault>;

} // namespace corvo
