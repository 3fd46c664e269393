// The domain model: owned, read-only value objects built from the domain document.
//
// makeDomainModel copies a successfully read domain_info record into a DomainInfo and a
// SubscriptionInfo that own all their texts (nothing points into the input buffer). Domain,
// alias and subscription names are lower-cased with the classic locale (only 'A' to 'Z'
// change); system user names, certificate names and every other text stay as given. Each
// certificate becomes its name mapped to the full path of its file.
//
// DIAGNOSTICS: parseNonExistentMailType throws std::invalid_argument for an unknown text;
// running out of memory throws std::bad_alloc.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "input/domain_info.h"

namespace corvo {

enum class NonExistentMailType { Bounce = 0, Catchall = 1, Reject = 2 };

// Directory of the installed certificate files; compiled in.
inline constexpr std::string_view kCertificatesDirectory = "/opt/vca/var/certificates";

struct DomainInfo {
    std::string name;                                // lower-cased
    std::vector<std::string> aliases;                // lower-cased, document order
    std::map<std::string, std::string> certificates; // name -> file path, byte order
    NonExistentMailType non_existent_type;
    std::string non_existent_arg;
    std::string vhost_id;
    std::int32_t outgoing_limit;
    bool is_main;
    std::string transport_type, transport_ipv4, transport_ipv6;
    bool enabled;
};

struct SubscriptionInfo {
    std::string name; // lower-cased
    std::int32_t outgoing_limit;
    std::vector<std::string> sysusers; // unchanged, document order
    bool allow_sendmail;
};

struct DomainModel {
    DomainInfo domain;
    SubscriptionInfo subscription;
};

// "bounce", "catchall" or "reject", compared exactly; anything else throws
// std::invalid_argument.
NonExistentMailType parseNonExistentMailType(const std::string& text);

// Converts a record that domain_info_read filled successfully (every text present).
DomainModel makeDomainModel(const domain_info& record);

} // namespace corvo
