// The check's entry and its exit status. Everything it reads it reads in place; nothing it
// calls writes: the plan is only built, the tables are only queried.
#include "check/Check.hpp"

#include "check/Audit.hpp"
#include "check/Inspect.hpp"
#include "check/Report.hpp"
#include "check/Traps.hpp"
#include "driver/Document.hpp"
#include "driver/Plan.hpp"

#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace corvo::check {
namespace {

const char* const kUsage = "usage: mail-restore-check [--json] [--plan] < DOCUMENT\n"
                           "       mail-restore-check --all [--json] [--plan] [FILE...]\n";

struct Options {
    bool json = false;
    bool plan = false;
    bool all = false;
    std::vector<std::string> files; // --all: the documents' files; none: standard input
};

int check(const Options& options) {
    std::string errorText;
    domain_info_trace trace{};
    const std::optional<DomainModel> model = readDomainModel(errorText, &trace);
    if (!model) {
        const Refusal refusal = refusalOf(errorText, trace);
        options.json ? writeJson(std::cout, refusal) : writeText(std::cout, refusal);
        return 2;
    }
    CheckResult result;
    result.domain = model->domain.name;
    result.withPlan = options.plan;
    result.plan = mail::restorePlan(model->domain, model->subscription);
    result.traps = documentTraps(model->domain);
    try {
        result.inspection = inspect(result.plan, model->domain);
        const std::vector<Trap> more = serverTraps(model->domain, *result.inspection);
        result.traps.insert(result.traps.end(), more.begin(), more.end());
        result.status = result.inspection->inSync() && result.traps.empty() ? 0 : 1;
    } catch (const std::exception& failure) {
        result.inspectionError = failure.what();
        result.status = 2;
    }
    options.json ? writeJson(std::cout, result) : writeText(std::cout, result);
    std::cout.flush();
    return result.status;
}

} // namespace

int runCheck(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            options.json = true;
        } else if (std::strcmp(argv[i], "--plan") == 0) {
            options.plan = true;
        } else if (std::strcmp(argv[i], "--all") == 0) {
            options.all = true;
        } else if (options.all && argv[i][0] != '-') {
            options.files.emplace_back(argv[i]);
        } else {
            std::cerr << kUsage;
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    try {
        if (options.all)
            return runAudit(options.files, options.json, options.plan, std::cout);
        return check(options);
    } catch (const std::exception& failure) {
        std::cerr << "mail-restore-check: " << failure.what() << '\n';
        return 2;
    } catch (...) {
        std::cerr << "mail-restore-check: unexpected failure\n";
        return 2;
    }
}

} // namespace corvo::check
