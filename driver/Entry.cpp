// Program entry and the top-level handler.
//
// The input buffer, the reader and the domain_info record live until the process ends and
// are never released: the record points into the buffer, and nothing runs after the
// restore but the exit. The process that runs the handler is the one that writes the
// system log: each failure line the handler prints goes there too, and a completed restore
// leaves one line naming the domain and its aliases.
#include "driver/Entry.hpp"

#include "diagnostics/Errors.hpp"
#include "diagnostics/system_log.h"
#include "driver/Restore.hpp"
#include "driver/UtilityErrorStream.hpp"
#include "driver/model/DomainInfo.hpp"
#include "input/domain_info.h"
#include "input/json_reader.h"
#include "lib/base/eintr.h"

#include <cxxabi.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace corvo {
namespace {

// All of standard input as raw bytes, up to end of file.
std::string readStandardInput() {
    std::string text;
    char chunk[65536];
    ssize_t count;
    while ((count = retry_eintr([&] { return ::read(STDIN_FILENO, chunk, sizeof chunk); })) > 0)
        text.append(chunk, static_cast<std::size_t>(count));
    if (count < 0)
        throw SystemError("read standard input");
    return text;
}

// A writable, NUL-terminated copy that ends at the input's first NUL byte.
char* makeDocumentBuffer(const std::string& text) {
    const std::size_t length = ::strnlen(text.data(), text.size());
    char* buffer = static_cast<char*>(std::malloc(length + 1));
    if (!buffer)
        throw std::bad_alloc();
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return buffer;
}

std::string demangledName(const std::type_info& type) {
    const char* recorded = type.name();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(recorded, nullptr, nullptr, &status), &std::free);
    if (status == 0 && demangled)
        return demangled.get();
    return recorded[0] == '*' ? recorded + 1 : recorded;
}

// The records that live for the whole run, kept where the process can still reach them
// until it ends (the leak checker of the sanitized build tells them from lost memory so).
struct RunRecords {
    char* buffer;
    json_reader* reader;
    domain_info* record;
};
[[gnu::used]] RunRecords runRecords;

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

const domain_info* readDomainDocument(std::string& errorText, domain_info_trace* trace) {
    char* buffer = runRecords.buffer = makeDocumentBuffer(readStandardInput());
    // The reader's error text names the system error left in errno. Whatever start-up or an
    // interrupted read left there is not the document's fault.
    errno = 0;
    json_reader* reader = runRecords.reader = json_reader_create(buffer, nullptr);
    domain_info* record = runRecords.record = domain_info_create(reader);
    if (!record)
        throw std::runtime_error("Can not create domain_info object");
    if (domain_info_read_traced(reader, record, trace) != 0) {
        errorText = json_error_text(reader);
        return nullptr;
    }
    return record;
}

int restoreFromStandardInput() {
    std::string errorText;
    const domain_info* record = readDomainDocument(errorText);
    if (!record)
        throw std::runtime_error("can not parse data from stdin : " + errorText);
    const DomainModel model = makeDomainModel(*record);
    const int result = static_cast<int>(restoreDomain(model.domain, model.subscription));
    logRestored(model.domain);
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
