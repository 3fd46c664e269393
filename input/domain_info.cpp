// Binding of the domain document onto the domain_info record.
//
// Each object is read as: '{', a refusal of the empty object (code 14), then name, value and
// separator until '}', then the check of its required fields. Presence flags live in the
// reading of one occurrence, so a repeated object must be complete on its own. Constraints
// are checked as soon as their value is read.
//
// The trace of a traced reading follows the walk: each field and array item appends its
// segment to the path while it is read and takes it off again only when it was read without
// failure, so after the first failure the path names where it happened.
//
// DIAGNOSTICS: see domain_info.h; every failure is the reader's error code.
#include "input/domain_info.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace {

// The trace of the reading in progress, or null.
domain_info_trace* current_trace = nullptr;

std::uint32_t read_document(json_reader* reader, domain_info* record);

// One segment of the path for the length of a scope: ".name" (or "name" first) or "[N]".
class PathSegment {
public:
    PathSegment(const json_reader* reader, const char* name) : reader_(reader) {
        if (current_trace != nullptr) {
            length_ = std::strlen(current_trace->path);
            std::snprintf(tail(), room(), length_ == 0 ? "%s" : ".%s", name);
        }
    }
    PathSegment(const json_reader* reader, std::uint64_t index) : reader_(reader) {
        if (current_trace != nullptr) {
            length_ = std::strlen(current_trace->path);
            std::snprintf(tail(), room(), "[%llu]", static_cast<unsigned long long>(index));
        }
    }
    ~PathSegment() {
        if (current_trace != nullptr && reader_->error_code == 0) {
            current_trace->path[length_] = '\0';
        }
    }
    PathSegment(const PathSegment&) = delete;
    PathSegment& operator=(const PathSegment&) = delete;

private:
    char* tail() const { return current_trace->path + length_; }
    std::size_t room() const { return sizeof current_trace->path - length_; }

    const json_reader* reader_;
    std::size_t length_ = 0;
};

std::uint32_t fail(json_reader* reader, json_error code, const char* argument = nullptr) {
    reader->error_code = code;
    reader->error_argument = argument;
    return code;
}

bool equal(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

// Checks the required fields of an object after its reading ended with code: a missing
// one fails with code 14 when nothing failed before. The first absent name is kept for the
// trace unless a nested object noted its own first.
std::uint32_t require(json_reader* reader, std::uint32_t code,
                      std::initializer_list<std::pair<bool, const char*>> fields) {
    if (code != JSON_OK && code != JSON_ERROR_REQUIRED_MISSING) {
        return code;
    }
    for (const auto& [present, name] : fields) {
        if (!present) {
            if (current_trace != nullptr && current_trace->missing == nullptr) {
                current_trace->missing = name;
            }
            return code != JSON_OK ? code : fail(reader, JSON_ERROR_REQUIRED_MISSING);
        }
    }
    return code;
}

// Reads '{', refuses an empty object, then hands each field name to on_field until '}'.
template <typename OnField> std::uint32_t read_object(json_reader* reader, OnField on_field) {
    if (json_object_begin(reader) != 0) {
        return reader->error_code;
    }
    if (json_object_try_end(reader) != 0) {
        return fail(reader, JSON_ERROR_REQUIRED_MISSING);
    }
    for (;;) {
        const char* name = json_object_field_name(reader);
        if (reader->error_code != 0) {
            return reader->error_code;
        }
        {
            const PathSegment segment(reader, name);
            on_field(name);
        }
        if (reader->error_code != 0) {
            return reader->error_code;
        }
        const int ended = json_object_next(reader);
        if (reader->error_code != 0) {
            return reader->error_code;
        }
        if (ended == 1) {
            return JSON_OK;
        }
    }
}

// Returns slot `index`, growing the array one slot at a time through reallocate and zeroing
// each new slot. Null with code 20 when the allocator refuses; the old block stays in place.
void* slot_at(json_reader* reader, json_array& array, std::uint64_t index, std::size_t slot) {
    while (array.capacity <= index) {
        const json_allocator& a = reader->allocator;
        const auto capacity = static_cast<std::size_t>(array.capacity);
        void* items = a.reallocate(a.context, array.items, (capacity + 1) * slot);
        if (items == nullptr) {
            fail(reader, JSON_ERROR_NO_MEMORY);
            return nullptr;
        }
        std::memset(static_cast<char*>(items) + capacity * slot, 0, slot);
        array.items = items;
        array.capacity = capacity + 1;
    }
    return static_cast<char*>(array.items) + static_cast<std::size_t>(index) * slot;
}

// Reads '[' and each element with on_element(index) until ']'. A repeated array is refilled
// from its first slot: the count restarts and the old slots are cleared.
template <typename OnElement>
std::uint32_t read_array(json_reader* reader, json_array& array, std::size_t slot,
                         OnElement on_element) {
    if (json_array_begin(reader) != 0) {
        return reader->error_code;
    }
    array.count = 0;
    if (array.items != nullptr) {
        std::memset(array.items, 0, static_cast<std::size_t>(array.capacity) * slot);
    }
    if (json_array_try_end(reader) != 0) {
        return JSON_OK;
    }
    for (std::uint64_t index = 0;; ++index) {
        {
            const PathSegment segment(reader, index);
            on_element(index);
        }
        if (reader->error_code != 0) {
            return reader->error_code;
        }
        const int ended = json_array_next(reader);
        if (reader->error_code != 0) {
            return reader->error_code;
        }
        if (ended == 1) {
            return JSON_OK;
        }
    }
}

// Array of strings, each checked by valid() before it is stored.
template <typename Valid>
std::uint32_t read_string_array(json_reader* reader, json_array& array, Valid valid,
                                const char* message) {
    return read_array(reader, array, sizeof(const char*), [&](std::uint64_t index) {
        const char* text = json_read_string(reader);
        if (text == nullptr) {
            return;
        }
        if (!valid(text)) {
            fail(reader, JSON_ERROR_CONSTRAINT, message);
            return;
        }
        if (void* slot = slot_at(reader, array, index, sizeof(const char*))) {
            *static_cast<const char**>(slot) = text;
            array.count = index + 1;
        }
    });
}

// Reads a string that must be one of the listed values (a null-terminated list).
const char* read_choice(json_reader* reader, const char* const* choices, const char* message) {
    const char* text = json_read_string(reader);
    if (text == nullptr) {
        return nullptr;
    }
    for (; *choices != nullptr; ++choices) {
        if (equal(text, *choices)) {
            return text;
        }
    }
    fail(reader, JSON_ERROR_CONSTRAINT, message);
    return nullptr;
}

std::uint32_t read_certificates(json_reader* reader, domain_info* record) {
    json_array& array = record->domain_certificates;
    return read_array(reader, array, sizeof(domain_certificate), [&](std::uint64_t index) {
        void* slot = slot_at(reader, array, index, sizeof(domain_certificate));
        if (slot == nullptr) {
            return;
        }
        domain_certificate& certificate = *static_cast<domain_certificate*>(slot);
        bool name = false;
        bool certfile = false;
        const std::uint32_t code = read_object(reader, [&](const char* field) {
            if (equal(field, "name")) {
                certificate.name = json_read_string(reader);
                name = true;
            } else if (equal(field, "certfile")) {
                certificate.certfile = json_read_string(reader);
                certfile = true;
            } else {
                json_skip_value(reader);
            }
        });
        if (require(reader, code, {{name, "name"}, {certfile, "certfile"}}) == 0) {
            array.count = index + 1;
        }
    });
}

std::uint32_t read_non_existent(json_reader* reader, domain_info* record) {
    static const char* const types[] = {"reject", "bounce", "catchall", nullptr};
    bool type = false;
    bool arg = false;
    const std::uint32_t code = read_object(reader, [&](const char* field) {
        if (equal(field, "type")) {
            record->non_existent_type = read_choice(
                reader, types,
                "Non-existent mail type is not valid (should be either `reject`, `bounce` or "
                "`catchall`)");
            type = true;
        } else if (equal(field, "arg")) {
            record->non_existent_arg = json_read_string(reader);
            arg = true;
        } else {
            json_skip_value(reader);
        }
    });
    return require(reader, code, {{type, "type"}, {arg, "arg"}});
}

std::uint32_t read_transport(json_reader* reader, domain_info* record) {
    static const char* const types[] = {"domain-ip", "domain-name", "explicit-ip", nullptr};
    bool type = false;
    bool ipv4 = false;
    bool ipv6 = false;
    const std::uint32_t code = read_object(reader, [&](const char* field) {
        if (equal(field, "type")) {
            record->transport_type = read_choice(reader, types, "None");
            type = true;
        } else if (equal(field, "ipv4")) {
            record->transport_ipv4 = json_read_string(reader);
            ipv4 = true;
        } else if (equal(field, "ipv6")) {
            record->transport_ipv6 = json_read_string(reader);
            ipv6 = true;
        } else {
            json_skip_value(reader);
        }
    });
    return require(reader, code, {{type, "type"}, {ipv4, "ipv4"}, {ipv6, "ipv6"}});
}

std::uint32_t read_domain(json_reader* reader, domain_info* record) {
    bool name = false;
    bool aliases = false;
    bool certificates = false;
    bool enabled = false;
    bool non_existent = false;
    bool vhost_id = false;
    bool outgoing_limit = false;
    bool is_main = false;
    bool transport = false;
    const std::uint32_t code = read_object(reader, [&](const char* field) {
        if (equal(field, "name")) {
            record->domain_name = json_read_string(reader);
            if (record->domain_name != nullptr && !is_valid_domain_name(record->domain_name)) {
                fail(reader, JSON_ERROR_CONSTRAINT, "Domain name is not valid");
            }
            name = true;
        } else if (equal(field, "aliases")) {
            read_string_array(reader, record->domain_aliases, is_valid_domain_name,
                              "Domain alias name is not valid");
            aliases = true;
        } else if (equal(field, "certificates")) {
            read_certificates(reader, record);
            certificates = true;
        } else if (equal(field, "enabled")) {
            record->domain_enabled = json_read_bool(reader);
            enabled = true;
        } else if (equal(field, "non_existent")) {
            read_non_existent(reader, record);
            non_existent = true;
        } else if (equal(field, "vhost_id")) {
            record->vhost_id = json_read_string(reader);
            if (record->vhost_id != nullptr && record->vhost_id[0] == '\0') {
                fail(reader, JSON_ERROR_CONSTRAINT, "Vhost ID is empty");
            }
            vhost_id = true;
        } else if (equal(field, "outgoing_limit")) {
            record->domain_outgoing_limit = json_read_int32(reader);
            outgoing_limit = true;
        } else if (equal(field, "is_main")) {
            record->is_main = json_read_bool(reader);
            is_main = true;
        } else if (equal(field, "transport")) {
            read_transport(reader, record);
            transport = true;
        } else {
            json_skip_value(reader);
        }
    });
    // The defaults apply to an object that was read to its end.
    if (code == 0 && !enabled) {
        record->domain_enabled = 1;
    }
    if (code == 0 && !is_main) {
        record->is_main = 0;
    }
    return require(reader, code,
                   {{name, "name"},
                    {aliases, "aliases"},
                    {certificates, "certificates"},
                    {non_existent, "non_existent"},
                    {vhost_id, "vhost_id"},
                    {outgoing_limit, "outgoing_limit"},
                    {transport, "transport"}});
}

std::uint32_t read_subscription(json_reader* reader, domain_info* record) {
    bool name = false;
    bool sysusers = false;
    bool outgoing_limit = false;
    bool allow_sendmail = false;
    const std::uint32_t code = read_object(reader, [&](const char* field) {
        if (equal(field, "name")) {
            record->subscription_name = json_read_string(reader);
            if (record->subscription_name != nullptr &&
                !is_valid_domain_name(record->subscription_name)) {
                fail(reader, JSON_ERROR_CONSTRAINT, "Subscription name is not valid");
            }
            name = true;
        } else if (equal(field, "sysusers")) {
            read_string_array(
                reader, record->subscription_sysusers,
                [](const char* text) { return text[0] != '\0'; },
                "Subscription system user name is empty");
            sysusers = true;
        } else if (equal(field, "outgoing_limit")) {
            record->subscription_outgoing_limit = json_read_int32(reader);
            outgoing_limit = true;
        } else if (equal(field, "allow_sendmail")) {
            record->allow_sendmail = json_read_bool(reader);
            allow_sendmail = true;
        } else {
            json_skip_value(reader);
        }
    });
    if (code == 0 && !allow_sendmail) {
        record->allow_sendmail = 1;
    }
    return require(reader, code,
                   {{name, "name"}, {sysusers, "sysusers"}, {outgoing_limit, "outgoing_limit"}});
}

bool is_label_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

} // namespace

domain_info* domain_info_create(json_reader* reader) {
    if (reader == nullptr) {
        return nullptr;
    }
    const json_allocator& a = reader->allocator;
    auto* record = static_cast<domain_info*>(a.allocate(a.context, sizeof(domain_info)));
    if (record != nullptr) {
        std::memset(record, 0, sizeof *record);
    }
    return record;
}

void domain_info_release(json_reader* reader, domain_info* record) {
    if (reader == nullptr || record == nullptr) {
        return;
    }
    const json_allocator& a = reader->allocator;
    for (void* items : {record->domain_aliases.items, record->domain_certificates.items,
                        record->subscription_sysusers.items}) {
        if (items != nullptr) {
            a.release(a.context, items);
        }
    }
    a.release(a.context, record);
}

std::uint32_t domain_info_read(json_reader* reader, domain_info* record) {
    return domain_info_read_traced(reader, record, nullptr);
}

std::uint32_t domain_info_read_traced(json_reader* reader, domain_info* record,
                                      domain_info_trace* trace) {
    if (trace != nullptr) {
        trace->path[0] = '\0';
        trace->missing = nullptr;
    }
    current_trace = trace;
    const std::uint32_t code = read_document(reader, record);
    current_trace = nullptr;
    return code;
}

namespace {

std::uint32_t read_document(json_reader* reader, domain_info* record) {
    bool domain = false;
    bool subscription = false;
    const std::uint32_t code = read_object(reader, [&](const char* field) {
        if (equal(field, "domain")) {
            read_domain(reader, record);
            domain = true;
        } else if (equal(field, "subscription")) {
            read_subscription(reader, record);
            subscription = true;
        } else {
            json_skip_value(reader);
        }
    });
    return require(reader, code, {{domain, "domain"}, {subscription, "subscription"}});
}

} // namespace

bool is_valid_domain_name(const char* name) {
    if (name == nullptr) {
        return false;
    }
    const std::size_t length = std::strlen(name);
    if (length < 1 || length > 255) {
        return false;
    }
    std::size_t label = 0; // bytes of the current label so far
    for (std::size_t i = 0; i <= length; ++i) {
        const char c = name[i];
        if (c == '.' || c == '\0') {
            // An empty label covers a leading dot, a trailing dot and two dots in a row.
            if (label == 0 || label > 63 || name[i - 1] == '-') {
                return false;
            }
            label = 0;
        } else if (!is_label_byte(c) || (label == 0 && c == '-')) {
            return false;
        } else {
            ++label;
        }
    }
    return true;
}
