// DomainKeys material for domain aliases: the domain's entry under /etc/domainkeys is
// copied to an entry named after the alias, owned by root and popuser's group, files
// 0640 and directories below the top 0755. Nothing is generated or removed; a domain
// without an entry gives nothing to copy.
//
// Raises std::filesystem::filesystem_error when the source cannot be examined or the copy
// fails. A refused ownership or mode change ends the process with status 1.
#pragma once

#include "driver/model/DomainInfo.hpp"

#include <string>

namespace corvo::mail {

void copyDomainKeysToAlias(const DomainInfo& domain, const std::string& alias);

} // namespace corvo::mail
