// The audit's report, as text for operators or as one JSON object for scripts (see
// mail-restore-check(8) for both), written as the audit goes: begin, one document at a
// time in the single check's own rendering, then the orphans, conflicts and result. Writing
// fails only as the stream does.
#pragma once

#include "check/Audit.hpp"

#include <ostream>
#include <string>

namespace corvo::check {

// The version of the audit's JSON object, in its "schema" member.
inline constexpr int kAuditSchema = 1;

class AuditReport {
public:
    AuditReport(std::ostream& out, bool json) : out_(out), json_(json) {}
    void begin();
    // One document's part of the report, rendered apart from the others (on any thread), and
    // that part written in its place.
    static std::string rendered(const AuditDocument& document, bool json);
    void document(const std::string& rendered);
    void end(const AuditSummary& summary);

private:
    std::ostream& out_;
    bool json_;
    std::size_t written_ = 0;
};

// A conflict's kind as the JSON report names it, and in the words of the text report.
struct ConflictWords {
    const char* name;
    const char* text;
};
ConflictWords conflictWords(Conflict::Kind kind);

} // namespace corvo::check
