// The domain document from standard input: raw bytes, the NUL-cut buffer, the reader and the
// record that live for the whole run.
#include "driver/Document.hpp"

#include "diagnostics/Errors.hpp"
#include "input/json_reader.h"
#include "lib/base/eintr.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

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

// The records that live for the whole run, kept where the process can still reach them
// until it ends (the leak checker of the sanitized build tells them from lost memory so).
struct RunRecords {
    char* buffer;
    json_reader* reader;
    domain_info* record;
};
[[gnu::used]] RunRecords runRecords;

} // namespace

std::optional<DomainModel> readDomainModel(std::string& errorText, domain_info_trace* trace) {
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
        return std::nullopt;
    }
    return makeDomainModel(*record);
}

} // namespace corvo
