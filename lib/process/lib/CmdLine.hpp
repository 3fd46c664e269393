// A program path and its argument vector, kept as the NUL-terminated, null-ended array that
// exec takes, and the shell-style text of that command line for reports.
//
// Guarantees: argv() always ends in a null entry and argv()[0] is the program path; the
// copies live as long as the object. Fails only by std::bad_alloc.
#pragma once

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
    CmdLine(const CmdLine&) = delete;
    CmdLine& operator=(const CmdLine&) = delete;

    // Appends a copy of the argument (up to its first NUL byte); returns the object.
    virtual CmdLine& add(const std::string& argument);
    CmdLine& add(const char* argument);

    // The argument vector: program path, arguments, null entry.
    const std::vector<char*>& argv() const { return argv_; }
    // Every argument quoted by quoteArgument, an empty one as '', joined by single spaces.
    std::string commandLineText() const;

private:
    std::vector<char*> argv_;
};

} // namespace corvo
