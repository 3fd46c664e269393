// Traps: documents that the tool accepts and that then go wrong in silence. Each trap names
// the field, says in one line what goes wrong and what the panel should send instead.
// Document traps need only the document; server traps depend on what the tables and the
// domain's keys hold. A trap is critical when it refuses or misdelivers mail or stops the
// next run, a warning when a run gets past it.
// Nothing here fails.
#pragma once

#include "check/Findings.hpp"
#include "check/Inspect.hpp"
#include "driver/model/DomainInfo.hpp"

#include <string>
#include <vector>

namespace corvo::check {

struct Trap {
    std::string field; // "domain.aliases[2]", "domain.non_existent.arg", ...
    std::string what;
    std::string instead;
    Severity severity = Severity::Critical;
};

std::vector<Trap> documentTraps(const DomainInfo& domain);
std::vector<Trap> serverTraps(const DomainInfo& domain, const Inspection& inspection);

} // namespace corvo::check
