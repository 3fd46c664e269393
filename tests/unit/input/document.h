// Test support: a document in its own exact-size heap buffer (so a read past its NUL is
// caught by the sanitizers), with a reader and a record over it, released with the object.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "input/domain_info.h"

namespace corvo_test {

// A small valid domain document; tests derive their cases from it by replacing text.
inline const std::string kBaseDocument =
    R"({"domain":{"name":"example.com","aliases":["example.net"],)"
    R"("certificates":[{"name":"c1","certfile":"f1"}],"non_existent":{"type":"reject","arg":""},)"
    R"("vhost_id":"v1","outgoing_limit":5,"transport":{"type":"domain-ip","ipv4":"","ipv6":""}},)"
    R"("subscription":{"name":"example.com","sysusers":["u1"],"outgoing_limit":7}})";

inline std::string replaced(std::string text, std::string_view from, std::string_view to) {
    const auto at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

struct Document {
    explicit Document(std::string_view text, const json_allocator* allocator = nullptr)
        : buffer(static_cast<char*>(std::malloc(text.size() + 1))) {
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
        reader = json_reader_create(buffer, allocator);
        record = domain_info_create(reader);
    }
    ~Document() {
        domain_info_release(reader, record);
        json_reader_release(reader);
        std::free(buffer);
    }
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;
    std::uint32_t read() { return domain_info_read(reader, record); }

    char* buffer;
    json_reader* reader;
    domain_info* record;
};

} // namespace corvo_test
