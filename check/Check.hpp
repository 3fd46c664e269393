// The check's entry: reads the domain document on standard input as the tool does, builds
// the restore plan from it, compares the server with the plan and reports.
//
// Exit status: 0 when the server matches the document, the document has no trap and nothing
// stands in the way of a run; 1 when something differs, a trap is found or a run would
// fail; 2 when the document cannot be read, the server cannot be inspected, or the
// arguments are wrong. With --nagios: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN. With --all,
// the audit of every domain's document at once (see Audit.hpp), with the default statuses.
#pragma once

namespace corvo::check {

int runCheck(int argc, char** argv);

} // namespace corvo::check
