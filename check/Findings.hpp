// Findings: everything the check reports as not as a run leaves it or as a run needs it, each
// with a severity and a kind. Critical: mail for an address is refused or misdelivered, or
// the next run will fail. Warning: it works, but not as the document says. The kinds are a
// closed set, so that monitoring can count findings by kind (see mail-restore-check(8)).
// Nothing here fails but allocation.
#pragma once

#include "check/Inspect.hpp"

#include <string>
#include <vector>

namespace corvo::check {

enum class Severity { Critical, Warning };

// "critical" or "warning".
const char* severityName(Severity severity);

// Every kind of finding, in the order the reports count them.
inline constexpr const char* kKinds[] = {"document", "readiness",      "trap",
                                         "table",    "mail_directory", "domain_keys"};

struct Finding {
    Severity severity;
    std::string kind; // one of kKinds
    std::string text; // one line, already escaped for reading
};

// Critical for the entries that decide where a domain's mail goes (the virtual domains
// entry, a whole-domain entry, a bounce alias), a warning for an administrative alias and for
// a leftover entry. Only meaningful for an entry that drifts.
Severity severityOf(const EntryCheck& entry);

// Critical when the mail account cannot deliver there (missing, not a directory, a link,
// another owner), a warning when only the mode differs.
Severity severityOf(const MailDirectoryCheck& directory);

} // namespace corvo::check
