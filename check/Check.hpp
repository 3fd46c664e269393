// The check's entry: reads the domain document on standard input as the tool does, builds
// the restore plan from it, compares the server with the plan and reports.
//
// Exit status: 0 when the server matches the document and the document has no trap; 1 when
// something differs or a trap is found; 2 when the document cannot be read, the server
// cannot be inspected, or the arguments are wrong. With --all, the audit of every domain's
// document at once (see Audit.hpp), with the same exit statuses.
#pragma once

namespace corvo::check {

int runCheck(int argc, char** argv);

} // namespace corvo::check
