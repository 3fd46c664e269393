// The monitoring outputs of the check: the status line and details of a monitoring plugin,
// and a node_exporter textfile in the Prometheus text format (see mail-restore-check(8)).
//
// DIAGNOSTICS: writeNagios fails only as the stream does. writeMetrics returns the reason it
// could not write the file (empty on success); the file is then left as it was, and a
// temporary file of its own is removed.
#pragma once

#include "check/Findings.hpp"

#include <ostream>
#include <string>
#include <vector>

namespace corvo::check {

// What one check saw, for both outputs.
struct Observation {
    std::string domain; // empty when the document was refused
    std::vector<Finding> findings;
    bool documentRead = false;
    bool inspected = false;      // the server's tables could be read
    std::string inspectionError; // why not, when not
    double startSeconds = 0;     // since the epoch
    double durationSeconds = 0;
};

// The plugin's status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN. A critical finding is
// CRITICAL even when the server could not be inspected; otherwise that is UNKNOWN.
int nagiosStatus(const Observation& seen);

// The status line first ("MAIL-RESTORE STATE - text | perfdata"), then one line per
// finding. Returns nagiosStatus.
int writeNagios(std::ostream& out, const Observation& seen);

// The plugin's line when it cannot look at all (arguments it does not take, a failure
// before any report); its status is 3.
void writeNagiosUnknown(std::ostream& out, const std::string& text);

// The textfile's contents.
std::string metricsText(const Observation& seen);

// Writes metricsText to path atomically: a temporary file in the same directory, then a
// rename over path. Returns the reason of a failure, or an empty text.
std::string writeMetrics(const std::string& path, const Observation& seen);

} // namespace corvo::check
