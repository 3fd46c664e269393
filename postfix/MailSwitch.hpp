// Domain mail switch: brings the virtual domains and virtual tables in line with whether
// the domain's mail is on, after preparing the domain's mail directory.
//
// Raises what the mail directory step raises (corvo::SystemError "user popuser not found",
// std::filesystem errors, corvo::mail::FSError), corvo::CorvoUtilException when the
// session mail data cannot be obtained, and the postmap failures of the table layer.
#pragma once

#include "driver/model/DomainInfo.hpp"

#include <string>

namespace corvo::mail::postfix {

void setDomainMailEnabled(const DomainInfo& domain, bool enabled);
void enableDomainMail(const std::string& domain);
void disableDomainMail(const std::string& domain);
void addAdminAliasEntries(const std::string& domain);
void removeAdminAliasEntries(const std::string& domain);
void removeCatchAllEntries(const std::string& domain);

} // namespace corvo::mail::postfix
