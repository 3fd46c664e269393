// Readiness: what the next run needs in order to succeed, inspected without changing, locking
// or opening for reading anything: the lock directory and the tables' lock files, the table
// directory and the tables a run removes keys from, postmap and the sibling utilities the
// plan calls, the mail account's way to its mail directory, and Postfix's configuration of
// the tables (read with one "postconf -h NAME..."). Every file is examined with lstat, so
// that no link is followed and no FIFO is opened.
//
// DIAGNOSTICS: nothing is raised; what cannot be examined is a finding itself. Every
// finding is critical but an unreadable Postfix configuration, which is a warning.
#pragma once

#include "check/Findings.hpp"
#include "driver/Plan.hpp"

#include <set>
#include <string>
#include <vector>

namespace corvo::check {

struct Readiness {
    std::vector<Finding> findings;
    // A lock file that a shared lock could block on or be misled by: the tables are then not
    // looked up.
    bool lockFileRefused = false;
    // Why a run refuses the lock directory, or empty: it completes a lock failure's text.
    std::string lockDirectoryReason;
};

// plan: at least its table steps; programs: those of the whole plan (mail::planPrograms).
Readiness readiness(const std::vector<mail::Step>& plan, const std::set<std::string>& programs,
                    const DomainInfo& domain);

} // namespace corvo::check
