// Domain mail switch: the postmap calls that bring the virtual domains and virtual tables in
// line with whether the domain's mail is on.
//
// domainMailChanges only describes the calls and changes nothing. The restore prepares the
// domain's mail directory first, then makes these calls in order (database::applyChange) as
// one table operation, inside one session mail data bracket (SessionMailData.hpp); the first
// failure ends it and the calls before it stay made.
//
// DIAGNOSTICS: describing reads the administrative alias names from the panel settings and
// fails only by std::bad_alloc. Making the calls raises what Postmap.hpp says.
#pragma once

#include "postfix/database/Postmap.hpp"

#include <string>
#include <vector>

namespace corvo::mail::postfix {

// Mail on: the virtual_domains entry, then the administrative addresses. Mail off: the
// virtual_domains key, the administrative addresses, then the domain's whole-domain ("@" D)
// redirection. Without the empty batches that make no call.
std::vector<database::TableChange> domainMailChanges(const std::string& domain, bool enabled);

} // namespace corvo::mail::postfix
