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

namespace {

// The trace of the reading in progress on this thread, or null.
thread_local domain_info_trace* current_trace = nullptr;

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

// Reads one member of an object or array: visit(key) under the key's path segment, then the
// separator or the closing bracket through next. True when the container is over, cleanly
// (error code JSON_OK) or not; false when another member follows.
template <typename Key, typename Visit>
bool read_member(json_reader* reader, Key key, Visit& visit, int (*next)(json_reader*)) {
    {
        const PathSegment segment(reader, key);
        visit(key);
    }
    return reader->error_code != 0 || next(reader) == 1 || reader->error_code != 0;
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
        if (reader->error_code != 0 || read_member(reader, name, on_field, json_object_next)) {
            return reader->error_code;
        }
    }
}

// One field of an object: its name, how its value is read into the context (the record, or
// the certificate being read), and for an optional field what its absence leaves there
// (null for a required field).
template <typename Context> struct Field {
    const char* name;
    void (*read)(json_reader* reader, Context& context);
    void (*absent)(Context& context);
};

// Reads an object of the listed fields (any other field is skipped; a repeated one is read
// again). When the reading ended without failure, each absent optional field sets its
// default; when it ended without failure or only with a missing field below, the first
// absent required field fails with code 14, its name kept for the trace unless a nested
// object noted its own first.
template <typename Context, std::size_t N>
std::uint32_t read_fields(json_reader* reader, Context& context, const Field<Context> (&fields)[N]) {
    bool present[N] = {};
    const std::uint32_t code = read_object(reader, [&](const char* name) {
        for (std::size_t i = 0; i < N; ++i) {
            if (equal(name, fields[i].name)) {
                fields[i].read(reader, context);
                present[i] = true;
                return;
            }
        }
        json_skip_value(reader);
    });
    if (code != JSON_OK && code != JSON_ERROR_REQUIRED_MISSING) {
        return code;
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (code == JSON_OK && !present[i] && fields[i].absent != nullptr) {
            fields[i].absent(context);
        }
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (fields[i].absent == nullptr && !present[i]) {
            if (current_trace != nullptr && current_trace->missing == nullptr) {
                current_trace->missing = fields[i].name;
            }
            return code != JSON_OK ? code : fail(reader, JSON_ERROR_REQUIRED_MISSING);
        }
    }
    return code;
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
        if (read_member(reader, index, on_element, json_array_next)) {
            return reader->error_code;
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

// A string that must pass valid(), else fails with message.
const char* read_checked_string(json_reader* reader, bool (*valid)(const char*),
                                const char* message) {
    const char* text = json_read_string(reader);
    if (text != nullptr && !valid(text)) {
        fail(reader, JSON_ERROR_CONSTRAINT, message);
    }
    return text;
}

bool is_not_empty(const char* text) {
    return text[0] != '\0';
}

const char* const non_existent_types[] = {"reject", "bounce", "catchall", nullptr};
const char* const transport_types[] = {"domain-ip", "domain-name", "explicit-ip", nullptr};

const Field<domain_certificate> certificate_fields[] = {
    {"name", [](json_reader* r, domain_certificate& c) { c.name = json_read_string(r); }, {}},
    {"certfile", [](json_reader* r, domain_certificate& c) { c.certfile = json_read_string(r); },
     {}},
};

const Field<domain_info> non_existent_fields[] = {
    {"type",
     [](json_reader* r, domain_info& d) {
         d.non_existent_type = read_choice(
             r, non_existent_types,
             "Non-existent mail type is not valid (should be either `reject`, `bounce` or "
             "`catchall`)");
     },
     {}},
    {"arg", [](json_reader* r, domain_info& d) { d.non_existent_arg = json_read_string(r); }, {}},
};

const Field<domain_info> transport_fields[] = {
    {"type",
     [](json_reader* r, domain_info& d) {
         d.transport_type = read_choice(r, transport_types, "None");
     },
     {}},
    {"ipv4", [](json_reader* r, domain_info& d) { d.transport_ipv4 = json_read_string(r); }, {}},
    {"ipv6", [](json_reader* r, domain_info& d) { d.transport_ipv6 = json_read_string(r); }, {}},
};

std::uint32_t read_certificates(json_reader* reader, domain_info& record) {
    json_array& array = record.domain_certificates;
    return read_array(reader, array, sizeof(domain_certificate), [&](std::uint64_t index) {
        void* slot = slot_at(reader, array, index, sizeof(domain_certificate));
        if (slot != nullptr &&
            read_fields(reader, *static_cast<domain_certificate*>(slot), certificate_fields) == 0) {
            array.count = index + 1;
        }
    });
}

// The value of a field that is itself an object of the given fields, read into the record.
template <const auto& fields> void read_nested(json_reader* reader, domain_info& record) {
    read_fields(reader, record, fields);
}

const Field<domain_info> domain_fields[] = {
    {"name",
     [](json_reader* r, domain_info& d) {
         d.domain_name = read_checked_string(r, is_valid_domain_name, "Domain name is not valid");
     },
     {}},
    {"aliases",
     [](json_reader* r, domain_info& d) {
         read_string_array(r, d.domain_aliases, is_valid_domain_name,
                           "Domain alias name is not valid");
     },
     {}},
    {"certificates", [](json_reader* r, domain_info& d) { read_certificates(r, d); }, {}},
    {"enabled", [](json_reader* r, domain_info& d) { d.domain_enabled = json_read_bool(r); },
     [](domain_info& d) { d.domain_enabled = 1; }},
    {"non_existent", read_nested<non_existent_fields>, {}},
    {"vhost_id",
     [](json_reader* r, domain_info& d) {
         d.vhost_id = read_checked_string(r, is_not_empty, "Vhost ID is empty");
     },
     {}},
    {"outgoing_limit",
     [](json_reader* r, domain_info& d) { d.domain_outgoing_limit = json_read_int32(r); }, {}},
    {"is_main", [](json_reader* r, domain_info& d) { d.is_main = json_read_bool(r); },
     [](domain_info& d) { d.is_main = 0; }},
    {"transport", read_nested<transport_fields>, {}},
};

const Field<domain_info> subscription_fields[] = {
    {"name",
     [](json_reader* r, domain_info& d) {
         d.subscription_name =
             read_checked_string(r, is_valid_domain_name, "Subscription name is not valid");
     },
     {}},
    {"sysusers",
     [](json_reader* r, domain_info& d) {
         read_string_array(r, d.subscription_sysusers, is_not_empty,
                           "Subscription system user name is empty");
     },
     {}},
    {"outgoing_limit",
     [](json_reader* r, domain_info& d) { d.subscription_outgoing_limit = json_read_int32(r); },
     {}},
    {"allow_sendmail", [](json_reader* r, domain_info& d) { d.allow_sendmail = json_read_bool(r); },
     [](domain_info& d) { d.allow_sendmail = 1; }},
};

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

const Field<domain_info> document_fields[] = {
    {"domain", read_nested<domain_fields>, {}},
    {"subscription", read_nested<subscription_fields>, {}},
};

std::uint32_t read_document(json_reader* reader, domain_info* record) {
    return read_fields(reader, *record, document_fields);
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
