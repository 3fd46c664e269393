// The check's entry, its output modes and its exit status. Everything it reads it reads in
// place; nothing it calls writes: the plan is only built, the tables are only queried, and
// the one file it writes is the metrics textfile it is asked for.
#include "check/Check.hpp"

#include "check/Audit.hpp"
#include "check/Inspect.hpp"
#include "check/Monitoring.hpp"
#include "check/Readiness.hpp"
#include "check/Report.hpp"
#include "check/Traps.hpp"
#include "diagnostics/log.h"
#include "driver/Document.hpp"
#include "driver/Plan.hpp"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace corvo::check {
namespace {

const char* const kUsage =
    "usage: mail-restore-check [--json | --nagios] [--plan] [--metrics FILE] < DOCUMENT\n"
    "       mail-restore-check --all [--json] [--plan] [FILE...]";

struct Options {
    bool json = false;
    bool nagios = false;
    bool plan = false;
    std::optional<std::string> metrics;
    bool all = false;
    std::vector<std::string> files; // --all: the documents' files; none: standard input
};

// The check of one large document touches a new page every few entries it builds. Where a
// page fault is costly (a virtual machine that shadows the page tables) the faults took a
// fifth of the check's time with 40,000 aliases. So the heap grows ahead in one stretch,
// large blocks included, and asks for huge pages there. The kernel follows the advice when
// its transparent huge pages are "madvise" or "always", and ignores it when they are "never".
void growHeapOnHugePages() {
    constexpr std::uintptr_t kHugePage = 2u << 20;
    constexpr int kReach = 192 << 20;
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TOP_PAD, kReach);
    void* block = std::malloc(256u << 10); // past the heap's first stretch: it grows
    const std::uintptr_t from =
        (reinterpret_cast<std::uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
    const auto to = reinterpret_cast<std::uintptr_t>(::sbrk(0));
    // Another allocator (a sanitizer's) takes its blocks elsewhere: then there is no stretch.
    if (block != nullptr && to > from)
        ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE); // advice only
    std::free(block);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Writes the report in the mode asked for and the textfile; returns the exit status.
int report(const Options& options, const Observation& seen, int status, const auto& writeDefault) {
    if (options.metrics) {
        if (const std::string failure = writeMetrics(*options.metrics, seen); !failure.empty()) {
            std::cerr << "mail-restore-check: metrics: " << failure << '\n';
            if (status < 2)
                status = 2;
            if (options.nagios) {
                writeNagiosUnknown(std::cout, "metrics: " + failure);
                std::cout.flush();
                return 3;
            }
        }
    }
    if (options.nagios) {
        status = writeNagios(std::cout, seen);
    } else {
        writeDefault();
    }
    std::cout.flush();
    return status;
}

int check(const Options& options) {
    const auto started = std::chrono::steady_clock::now();
    Observation seen;
    seen.startSeconds =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

    // Read once, for the traps only its text shows and for the tool's reader, as a run reads it.
    const std::string text = readStandardInput();
    std::string errorText;
    domain_info_trace trace{};
    const std::optional<DomainModel> model = readDomainModelFrom(text, errorText, &trace);
    if (!model) {
        const Refusal refusal = refusalOf(errorText, trace);
        seen.findings = findingsOf(refusal);
        seen.durationSeconds = secondsSince(started);
        return report(options, seen, 2, [&] {
            options.json ? writeJson(std::cout, refusal) : writeText(std::cout, refusal);
        });
    }
    // Without --plan only the table steps are built: the plan's size grows with the
    // aliases, and readiness asks no more of it than its programs.
    CheckResult result = documentResult(
        *model, text, options.plan, options.plan ? mail::PlanParts::All : mail::PlanParts::Tables);
    const Readiness ready = readiness(
        result.plan, mail::planPrograms(model->domain, model->subscription), model->domain);
    result.readiness = ready.findings;
    if (ready.lockFileRefused) {
        // A shared lock could block on such a file for ever, or lock something else.
        result.inspectionError = "the tables are not looked up: a lock file is not a regular "
                                 "file of root's with one link (see readiness)";
        result.status = 2;
    } else {
        try {
            result.inspection = inspect(result.plan, model->domain);
            const std::vector<Trap> more = serverTraps(model->domain, *result.inspection);
            result.traps.insert(result.traps.end(), more.begin(), more.end());
            // A table left unread is a server that could not be inspected in full.
            result.status = !result.inspection->unreadTables.empty() ? 2
                            : result.inspection->inSync() && result.traps.empty() &&
                                    result.readiness.empty()
                                ? 0
                                : 1;
        } catch (const std::exception& failure) {
            result.inspectionError = failure.what();
            if (!ready.lockDirectoryReason.empty())
                result.inspectionError += " (" + ready.lockDirectoryReason + ")";
            result.status = 2;
        }
    }
    seen.domain = result.domain;
    seen.documentRead = true;
    seen.inspected = result.inspection.has_value() && result.inspection->unreadTables.empty();
    seen.inspectionError = result.inspectionError;
    if (result.inspection)
        for (const UnreadTable& unread : result.inspection->unreadTables)
            seen.inspectionError += (seen.inspectionError.empty() ? "" : "; ") + unread.table +
                                    " not inspected: its lock is held by " + unread.heldBy;
    seen.findings = findingsOf(result);
    seen.durationSeconds = secondsSince(started);
    return report(options, seen, result.status, [&] {
        options.json ? writeJson(std::cout, result) : writeText(std::cout, result);
    });
}

// The arguments, or the text of what is wrong with them.
std::optional<std::string> parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--json") {
            options.json = true;
        } else if (argument == "--nagios") {
            options.nagios = true;
        } else if (argument == "--plan") {
            options.plan = true;
        } else if (argument == "--metrics") {
            if (i + 1 == argc)
                return std::string("--metrics needs a file name");
            options.metrics = argv[++i];
        } else if (argument.starts_with("--metrics=")) {
            options.metrics = argument.substr(std::strlen("--metrics="));
        } else if (argument == "--all") {
            options.all = true;
        } else if (options.all && !argument.starts_with("-")) {
            options.files.push_back(argument);
        } else {
            return argument == "--help" ? std::string() : "unknown argument " + argument;
        }
    }
    if (options.json && options.nagios)
        return "--json and --nagios exclude each other";
    if (options.metrics && options.metrics->empty())
        return "--metrics needs a file name";
    if (options.all && (options.nagios || options.metrics))
        return "--nagios and --metrics check one document, not --all";
    return std::nullopt;
}

} // namespace

int runCheck(int argc, char** argv) {
    // Standard output is the report alone: the lower layers' lines go to standard error.
    log_console_to_stderr_only();
    Options options;
    if (const std::optional<std::string> wrong = parse(argc, argv, options)) {
        const bool help = wrong->empty();
        if (!help && options.json) {
            writeJsonError(std::cout, *wrong + "; " + kUsage);
        } else if (!help && options.nagios) {
            writeNagiosUnknown(std::cout, *wrong + "; " + kUsage);
            std::cout.flush();
            return 3;
        } else {
            std::cerr << kUsage << '\n';
        }
        std::cout.flush();
        return help ? 0 : 2;
    }
    try {
        if (options.all)
            return runAudit(options.files, options.json, options.plan, std::cout);
        growHeapOnHugePages();
        return check(options);
    } catch (const std::exception& failure) {
        std::cerr << "mail-restore-check: " << failure.what() << '\n';
        if (options.json)
            writeJsonError(std::cout, failure.what());
        if (options.nagios)
            writeNagiosUnknown(std::cout, failure.what());
        std::cout.flush();
        return options.nagios ? 3 : 2;
    } catch (...) {
        std::cerr << "mail-restore-check: unexpected failure\n";
        if (options.json)
            writeJsonError(std::cout, "internal failure");
        if (options.nagios)
            writeNagiosUnknown(std::cout, "internal failure");
        std::cout.flush();
        return options.nagios ? 3 : 2;
    }
}

} // namespace corvo::check
