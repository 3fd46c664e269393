// A program path and its argument vector, kept as the NUL-terminated, null-ended array that
// exec takes, and the shell-style text of that command line for reports.
//
// Guarantees: argv() always ends in a null entry and argv()[0] is the program path; the
// copies are owned by the object and live as long as it (a move keeps them where they are).
// Fails only by std::bad_alloc, and a failed add leaves the vector as it was.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace corvo {

// Quotes one argument for a shell-style command line: a backslash before TAB, space and each
// of "#$&'()*;<>?[\`|~, a newline written between single quotes, every other byte (bytes
// above 127, and !{}]^= included) copied unchanged. An empty argument stays empty.
std::string quoteArgument(const std::string& argument);

class CmdLine {
public:
    explicit CmdLine(const std::string& program);
    virtual ~CmdLine();
    // Move-only: the texts stay where they are, so the vector stays valid in the new owner;
    // the moved-from object may only be destroyed or assigned to.
    CmdLine(CmdLine&&) noexcept = default;
    CmdLine& operator=(CmdLine&&) noexcept = default;

    // Appends a copy of the argument (up to its first NUL byte); returns the object.
    virtual CmdLine& add(const std::string& argument);
    CmdLine& add(const char* argument);

    // The argument vector: program path, arguments, null entry.
    const std::vector<char*>& argv() const { return argv_; }
    // Every argument quoted by quoteArgument, an empty one as '', joined by single spaces.
    std::string commandLineText() const;

private:
    std::vector<std::unique_ptr<char[]>> copies_; // the texts that argv_ points to
    std::vector<char*> argv_;                     // copies_ in order, then the null entry
};

} // namespace corvo
