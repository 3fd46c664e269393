// Traps that only the document's text shows, not its model: a member name given twice in one
// object (the reader keeps the last), and content after the document (the reader stops at
// the end of the first value and ignores the rest). The text is cut at its first NUL byte,
// as the reader cuts it.
//
// Also: the whole of standard input, read once and put back, so that the document reader
// reads exactly the same bytes after the check has seen them.
//
// DIAGNOSTICS: documentTextTraps never fails; a text it cannot follow gives the traps found
// up to there. takeStandardInput raises corvo::SystemError when standard input cannot be
// read or put back.
#pragma once

#include "check/Traps.hpp"

#include <string>
#include <vector>

namespace corvo::check {

std::vector<Trap> documentTextTraps(const std::string& text);

// All of standard input; descriptor 0 then reads the same bytes again from their start.
std::string takeStandardInput();

} // namespace corvo::check
