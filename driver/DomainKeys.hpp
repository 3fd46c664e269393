// DomainKeys material for domain aliases: the domain's entry under /etc/domainkeys is
// copied to an entry named after the alias, owned by root and popuser's group, files
// 0640 and directories below the top 0755. Nothing is generated or removed; a domain
// without an entry gives nothing to copy.
//
// Raises std::filesystem::filesystem_error when the source cannot be examined or the copy
// fails. A refused ownership or mode change ends the process with status 1.
#pragma once

#include "driver/model/DomainInfo.hpp"

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace corvo::mail {

// What a copy gets: owner root and keysGroup(), these modes for files and for directories
// below the top.
inline constexpr mode_t kKeyFileMode = 0640;
inline constexpr mode_t kKeyDirectoryMode = 0755;

// "/etc/domainkeys/" and the name in lower case.
std::filesystem::path domainKeysEntry(const std::string& name);

// The primary group of "popuser"; group 0, with a message, when there is no such account.
gid_t keysGroup();

void copyDomainKeysToAlias(const DomainInfo& domain, const std::string& alias);

} // namespace corvo::mail
