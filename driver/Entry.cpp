// Program entry and the top-level handler. The document is read by driver/Document.hpp;
// nothing runs after the restore but the exit. The process that runs the handler is the one
// that writes the system log: each failure line the handler prints goes there too, after
// the domain's name once the document has been read, and a completed restore leaves one
// line naming the domain and its aliases.
#include "driver/Entry.hpp"

#include "diagnostics/Errors.hpp"
#include "diagnostics/system_log.h"
#include "driver/Document.hpp"
#include "driver/Restore.hpp"
#include "driver/UtilityErrorStream.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace corvo {
namespace {

std::string demangledName(const std::type_info& type) {
    const char* recorded = type.name();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(recorded, nullptr, nullptr, &status), &std::free);
    if (status == 0 && demangled)
        return demangled.get();
    return recorded[0] == '*' ? recorded + 1 : recorded;
}

// The system log line of a completed restore: "restored D, aliases: A1, A2" or
// "restored D, no aliases". The restore is done: a line that cannot be built (no memory) is
// lost rather than turned into a failure.
void logRestored(const DomainInfo& domain) noexcept {
    try {
        std::string summary = "restored " + domain.name;
        if (domain.aliases.empty()) {
            summary += ", no aliases";
        } else {
            summary += ", aliases: ";
            for (std::size_t i = 0; i < domain.aliases.size(); ++i)
                summary += (i > 0 ? ", " : "") + domain.aliases[i];
        }
        system_log_success(summary.c_str());
    } catch (...) {
    }
}

} // namespace

int restoreFromStandardInput() {
    std::string errorText;
    const std::optional<DomainModel> model = readDomainModel(errorText);
    if (!model)
        throw std::runtime_error("can not parse data from stdin : " + errorText);
    system_log_set_subject(model->domain.name.c_str());
    const int result = static_cast<int>(restoreDomain(model->domain, model->subscription));
    logRestored(model->domain);
    return result;
}

int runMain(int (*body)()) {
    system_log_open();
    try {
        return body();
    } catch (const CorvoUtilException& failure) {
        std::cerr << failure.what() << '\n';
        std::cerr.flush();
        system_log_failure(failure.what());
        return 1;
    } catch (const std::exception& failure) {
        const std::string line =
            "Fatal error: " + demangledName(typeid(failure)) + '(' + failure.what() + ')';
        utilityErrorStream << line << '\n';
        utilityErrorStream.flush();
        system_log_failure(line.c_str());
        return 1;
    } catch (...) {
        utilityErrorStream << "UNSPECIFIED ERROR OCCURED" << '\n';
        utilityErrorStream.flush();
        system_log_failure("UNSPECIFIED ERROR OCCURED");
        return 2;
    }
}

} // namespace corvo
