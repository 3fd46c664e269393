// The check's report, as text for operators or as one JSON object (see
// mail-restore-check(8) for both), and the findings that both reports and the monitoring
// outputs count. Writing fails only as the stream does.
#pragma once

#include "check/Findings.hpp"
#include "check/Inspect.hpp"
#include "check/Traps.hpp"
#include "driver/Plan.hpp"
#include "driver/model/DomainInfo.hpp"
#include "input/domain_info.h"

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace corvo::check {

struct CheckResult {
    std::string domain;
    std::vector<Trap> traps;
    std::vector<Finding> readiness;
    bool readinessChecked = true; // the audit of many documents leaves readiness out
    std::optional<Inspection> inspection; // empty when the server could not be inspected
    std::string inspectionError;
    std::vector<mail::Step> plan; // shown only when withPlan
    bool withPlan = false;
    int status = 0;
};

// The result of a read document before the server is looked at: its domain, the plan a run of
// it makes (all of it, or the parts asked for), and the traps of its model and of its text (as read, before the NUL cut).
CheckResult documentResult(const DomainModel& model, const std::string& text, bool withPlan,
                           mail::PlanParts parts = mail::PlanParts::All);

// A table's file name, as the reports show a table ("virtual" for hash:/.../virtual).
std::string_view shortTable(std::string_view table);

// A refused document: the reader's text and where the reading stopped.
struct Refusal {
    std::string readerText;
    std::string field;   // path of the field, empty for the top-level object
    std::string missing; // full path of the absent required field, or empty
};

Refusal refusalOf(const std::string& readerText, const domain_info_trace& trace);

// The version of the JSON report's layout, its "schema" member; it grows when a member
// changes meaning or goes away, not when one is added.
inline constexpr int kJsonSchema = 1;

// Every finding of the result, in report order: readiness, traps, tables, mail directory,
// domain keys. A refused document is one critical finding of kind "document".
std::vector<Finding> findingsOf(const CheckResult& result);
std::vector<Finding> findingsOf(const Refusal& refusal);

// "N critical, M warning(s)".
std::string findingsSummary(const std::vector<Finding>& findings);

void writeText(std::ostream& out, const CheckResult& result);
void writeJson(std::ostream& out, const CheckResult& result);
void writeText(std::ostream& out, const Refusal& refusal);
void writeJson(std::ostream& out, const Refusal& refusal);
// Arguments the check does not take, or a failure before any report: the JSON report of
// that, {"schema":1,"error":TEXT,"status":2}.
void writeJsonError(std::ostream& out, const std::string& text);

} // namespace corvo::check
