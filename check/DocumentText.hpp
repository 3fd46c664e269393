// Traps that only the document's text shows, not its model: a member name given twice in one
// object (the reader keeps the last), and content after the document (the reader stops at
// the end of the first value and ignores the rest). The text is cut at its first NUL byte,
// as the reader cuts it.
//
// DIAGNOSTICS: documentTextTraps never fails; a text it cannot follow gives the traps found
// up to there.
#pragma once

#include "check/Traps.hpp"

#include <string>
#include <vector>

namespace corvo::check {

std::vector<Trap> documentTextTraps(const std::string& text);


} // namespace corvo::check
