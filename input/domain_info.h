// The domain document: its plain record and the binding that reads it.
//
// domain_info_read walks the document once, in document order, with the in-place reader's
// primitives and stores every value straight into a domain_info record: texts are pointers
// into the document buffer, array item blocks come from the reader's allocator. Fields may
// come in any order; unknown fields at any level are skipped (their syntax still checked);
// a repeated field is read again and the last reading stands. Bytes after the top-level
// object's closing '}' are never examined.
//
// DIAGNOSTICS: domain_info_read returns the reader's error code, 0 on success, else the
// first failure's code with the reader's position (and, for 23, the constraint message as
// argument) set for json_error_text. 14: a required field is absent when its object closes
// (position after the '}'); 20: an array could not grow; 23: a value constraint failed
// (position after the offending string). The record keeps what was stored before a failure.
#pragma once

#include <cstdint>

#include "input/json_reader.h"

// One element of domain_certificates.
struct domain_certificate {
    const char* name;
    const char* certfile;
};

// All fields zero when created. Flags are 0 or 1.
struct domain_info {
    const char* domain_name;
    json_array domain_aliases;      // items: const char*[]
    json_array domain_certificates; // items: domain_certificate[]
    std::int32_t domain_enabled;    // true when absent
    const char* non_existent_type;  // "reject", "bounce" or "catchall"
    const char* non_existent_arg;
    const char* vhost_id; // never empty
    std::int32_t domain_outgoing_limit;
    std::int32_t is_main;       // false when absent
    const char* transport_type; // "domain-ip", "domain-name" or "explicit-ip"
    const char* transport_ipv4;
    const char* transport_ipv6;
    const char* subscription_name;
    json_array subscription_sysusers; // items: const char*[], none empty
    std::int32_t subscription_outgoing_limit;
    std::int32_t allow_sendmail; // true when absent
};

// Returns a zeroed record allocated through the reader's allocator, or null when reader is
// null or the allocation fails.
domain_info* domain_info_create(json_reader* reader);

// Gives the record and its item blocks back to the reader's allocator; null is ignored. The
// tool itself never releases its record; tests do.
void domain_info_release(json_reader* reader, domain_info* record);

// Reads the document at the reader's position into record; returns the error code.
std::uint32_t domain_info_read(json_reader* reader, domain_info* record);

// Where a reading stopped. path: the field being read at the first failure, members joined
// by '.', array items as "[N]" ("domain.outgoing_limit", "domain.aliases[2]",
// "subscription"); empty when the failure is in the top-level object itself; cut short at
// the buffer's end. missing: for code 14, the name of the first required field absent from
// the object at path (a static text), else null.
struct domain_info_trace {
    char path[256];
    const char* missing;
};

// domain_info_read that also fills trace (when not null). Codes, positions and the record
// are exactly those of domain_info_read. Not reentrant: one traced reading at a time on
// each thread; threads may read side by side.
std::uint32_t domain_info_read_traced(json_reader* reader, domain_info* record,
                                      domain_info_trace* trace);

// The domain name rule for domain, alias and subscription names, in ASCII form: 1 to 255
// bytes; labels of 1 to 63 letters, digits and '-', separated by single dots; no '-' at a
// label's edge; no leading or trailing dot. A single label passes.
bool is_valid_domain_name(const char* name);
