// Severities of the compared things; the traps and the readiness findings carry their own.
#include "check/Findings.hpp"

#include "postfix/database/Tables.hpp"

namespace corvo::check {

namespace database = mail::postfix::database;

const char* severityName(Severity severity) {
    return severity == Severity::Critical ? "critical" : "warning";
}

Severity severityOf(const EntryCheck& entry) {
    if (entry.state() == EntryCheck::State::LeftBehind)
        return Severity::Warning;
    const bool routing = entry.table != database::kVirtualTable || entry.key.starts_with('@');
    return routing ? Severity::Critical : Severity::Warning;
}

Severity severityOf(const MailDirectoryCheck& directory) {
    return directory.state() == MailDirectoryCheck::State::OtherOwnerOrMode &&
                   directory.uid == directory.expectedUid && directory.gid == directory.expectedGid
               ? Severity::Warning
               : Severity::Critical;
}

} // namespace corvo::check
