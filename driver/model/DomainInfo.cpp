// Conversion of the domain_info record into the domain model.
//
// Guarantees: the models own copies of every text; lower-casing keeps each text's length.
//
// DIAGNOSTICS: std::invalid_argument for an unknown non-existent mail type (a record read
// successfully never holds one); std::bad_alloc when copying runs out of memory.
#include "driver/model/DomainInfo.hpp"

#include <stdexcept>

#include "lib/base/ascii.h"

namespace corvo {
namespace {

template <typename T> const T* items(const json_array& array) {
    return static_cast<const T*>(array.items);
}

} // namespace

NonExistentMailType parseNonExistentMailType(const std::string& text) {
    if (text == "bounce") {
        return NonExistentMailType::Bounce;
    }
    if (text == "catchall") {
        return NonExistentMailType::Catchall;
    }
    if (text == "reject") {
        return NonExistentMailType::Reject;
    }
    throw std::invalid_argument(
        "Non-existent mail type is not valid, should be either `reject`, `bounce` or "
        "`catchall`");
}

DomainModel makeDomainModel(const domain_info& record) {
    DomainModel model{};
    DomainInfo& domain = model.domain;
    domain.name = ascii_lower_cased(record.domain_name);
    for (std::uint64_t i = 0; i < record.domain_aliases.count; ++i) {
        domain.aliases.push_back(ascii_lower_cased(items<const char*>(record.domain_aliases)[i]));
    }
    for (std::uint64_t i = 0; i < record.domain_certificates.count; ++i) {
        const domain_certificate& certificate =
            items<domain_certificate>(record.domain_certificates)[i];
        std::string path(kCertificatesDirectory);
        path += '/';
        path += certificate.certfile;
        // A repeated name keeps its place and takes the later path.
        domain.certificates[certificate.name] = std::move(path);
    }
    domain.enabled = record.domain_enabled != 0;
    domain.non_existent_type = parseNonExistentMailType(record.non_existent_type);
    domain.non_existent_arg = record.non_existent_arg;
    domain.vhost_id = record.vhost_id;
    domain.outgoing_limit = record.domain_outgoing_limit;
    domain.is_main = record.is_main != 0;
    domain.transport_type = record.transport_type;
    domain.transport_ipv4 = record.transport_ipv4;
    domain.transport_ipv6 = record.transport_ipv6;

    SubscriptionInfo& subscription = model.subscription;
    subscription.name = ascii_lower_cased(record.subscription_name);
    subscription.outgoing_limit = record.subscription_outgoing_limit;
    for (std::uint64_t i = 0; i < record.subscription_sysusers.count; ++i) {
        subscription.sysusers.emplace_back(items<const char*>(record.subscription_sysusers)[i]);
    }
    subscription.allow_sendmail = record.allow_sendmail != 0;
    return model;
}

} // namespace corvo
