// Domain mail switch: brings the virtual domains and virtual tables in line with whether
// the domain's mail is on, after preparing the domain's mail directory.
//
// The *Change(s) functions only describe the postmap calls (see database/Postmap.hpp); the
// others make them. Describing fails only as the session mail data does.
//
// Raises what the mail directory step raises (corvo::SystemError "user popuser not found",
// std::filesystem errors, corvo::mail::FSError), corvo::CorvoUtilException when the
// session mail data cannot be obtained, and the postmap failures of the table layer.
#pragma once

#include "driver/model/DomainInfo.hpp"
#include "postfix/database/Postmap.hpp"

#include <string>
#include <vector>

namespace corvo::mail::postfix {

// The calls of the switch, in order, without the empty batches that make no call.
std::vector<database::TableChange> domainMailChanges(const std::string& domain, bool enabled);
database::TableChange virtualDomainsEntry(const std::string& domain);
database::TableChange adminAliasEntries(const std::string& domain);
database::TableChange adminAliasRemoval(const std::string& domain);
database::TableChange catchAllRemoval(const std::string& domain);

void setDomainMailEnabled(const DomainInfo& domain, bool enabled);
void enableDomainMail(const std::string& domain);
void disableDomainMail(const std::string& domain);
void addAdminAliasEntries(const std::string& domain);
void removeAdminAliasEntries(const std::string& domain);
void removeCatchAllEntries(const std::string& domain);

} // namespace corvo::mail::postfix
