// Reads any byte string as the domain document, the way the entry does: the text up to its
// first NUL byte, in place, bound to a domain_info record, then everything released.
#include <cstdint>
#include <cstring>
#include <string>

#include "input/domain_info.h"
#include "input/json_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    json_reader* reader = json_reader_create(text.data(), nullptr);
    domain_info* record = domain_info_create(reader);
    if (domain_info_read(reader, record) != 0)
        (void)std::strlen(json_error_text(reader));
    domain_info_release(reader, record);
    json_reader_release(reader);
    return 0;
}
