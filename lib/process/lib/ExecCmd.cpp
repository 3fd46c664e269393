// Command lines, their quoting, and running them through the fork and exec engine.
//
// The failure report is a Boost.Format template fed after construction, so its text is
// rendered only when it is printed. DIAGNOSTICS: see ExecCmd.hpp.
#include "lib/process/lib/ExecCmd.hpp"

#include "lib/process/lib/fork_exec.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

namespace corvo {
namespace {

enum class QuoteClass : unsigned char { Copy, Backslash, QuoteAround };

constexpr std::array<QuoteClass, 256> makeQuoteTable() {
    std::array<QuoteClass, 256> table{};
    for (const char special : std::string_view("\t \"#$&'()*;<>?[\\`|~"))
        table[static_cast<unsigned char>(special)] = QuoteClass::Backslash;
    table[static_cast<unsigned char>('\n')] = QuoteClass::QuoteAround;
    return table;
}

constexpr std::array<QuoteClass, 256> kQuoteTable = makeQuoteTable();

// A NUL-terminated copy of text up to its first NUL byte.
std::unique_ptr<char[]> copyOf(const std::string& text) {
    const std::size_t length = std::strlen(text.c_str());
    auto copy = std::make_unique_for_overwrite<char[]>(length + 1);
    std::memcpy(copy.get(), text.c_str(), length + 1);
    return copy;
}

// "<name> is\n<content>" ending in one newline; empty when there is no content.
std::string section(const char* name, const std::string& content) {
    if (content.empty())
        return {};
    std::string text = std::string(name) + " is\n" + content;
    if (content.back() != '\n')
        text += '\n';
    return text;
}

} // namespace

std::string quoteArgument(const std::string& argument) {
    std::string quoted;
    quoted.reserve(argument.size() + argument.size() / 4);
    for (const char byte : argument) {
        switch (kQuoteTable[static_cast<unsigned char>(byte)]) {
        case QuoteClass::Copy:
            quoted += byte;
            break;
        case QuoteClass::Backslash:
            quoted += '\\';
            quoted += byte;
            break;
        case QuoteClass::QuoteAround:
            quoted += '\'';
            quoted += byte;
            quoted += '\'';
            break;
        }
    }
    return quoted;
}

CmdLine::CmdLine(const std::string& program) {
    copies_.push_back(copyOf(program));
    argv_ = {copies_.back().get(), nullptr};
}

CmdLine::~CmdLine() = default;

CmdLine& CmdLine::add(const std::string& argument) {
    argv_.reserve(argv_.size() + 1); // so that the insertion below cannot throw
    copies_.push_back(copyOf(argument));
    argv_.insert(argv_.end() - 1, copies_.back().get());
    return *this;
}

CmdLine& CmdLine::add(const char* argument) {
    return add(std::string(argument));
}

std::string CmdLine::commandLineText() const {
    std::string text;
    for (std::size_t index = 0; index + 1 < argv_.size(); ++index) {
        if (index > 0)
            text += ' ';
        const std::string argument = argv_[index];
        text += argument.empty() ? "''" : quoteArgument(argument);
    }
    return text;
}

// The tag's text is not the member's name: it is part of the tool's output and must stay.
const ExTag ExecCmd::Failed{"ExecCmd::ExFailed"};

ExecCmd::ExecCmd(const std::string& program) : CmdLine(program), program_(program) {}

ExecCmd::~ExecCmd() = default;

ExecCmd& ExecCmd::add(const std::string& argument) {
    CmdLine::add(argument);
    return *this;
}

void ExecCmd::setEnv(const std::string& name, const std::string& value) {
    environment_[name] = value;
}

int ExecCmd::run() {
    if (exec() != 0)
        reportError();
    return returnCode_;
}

int ExecCmd::runNoThrow() {
    try {
        return exec();
    } catch (...) {
        return returnCode_;
    }
}

int ExecCmd::exec() {
    started_ = true;
    errno = 0;
    const fork_exec::child_command command{program_.c_str(), argv().data(), user_.c_str(),
                                           changeToHome_, environment_};
    returnCode_ =
        fork_exec::forkExecvGetOutErr(command, std::string(stdinText_), stdoutText_, stderrText_);
    errorNumber_ = errno;
    lastError_ = errorNumber_ != 0 ? std::strerror(errorNumber_) : "";
    finished_ = true;
    return returnCode_;
}

void ExecCmd::reportError() const {
    // The source function, file (without extension) and line are fixed texts, not this
    // file's: they are part of the tool's output and must stay.
    throw ExecCmdFailed("Execution of %1% failed with return code %2%.\n%3%%4%%5%%6%", 30,
                        "void corvo::ExecCmd::reportError() const", "lib/process/lib/ExecCmd",
                        76) %
        commandLineText() % returnCode_ % section("Stdin", stdinText_) %
        section("Stdout", stdoutText_) % section("Stderr", stderrText_) %
        section("Last error", lastError_);
}

} // namespace corvo
