// The restore sequence: re-applies one domain's mail configuration in a fixed order
// (tables, outgoing-mail registrations, aliases, certificates, sender transports). Every
// failure is an exception that ends the sequence where it happens; nothing is undone.
#pragma once

#include "driver/model/DomainInfo.hpp"

#include <cstdint>

namespace corvo {

// Returns 0.
std::uint32_t restoreDomain(const DomainInfo& domain, const SubscriptionInfo& subscription);

} // namespace corvo
