// The panel's Postfix lookup tables, as postmap is given them.
//
// virtual_domains holds one entry per domain whose mail is on, virtual the address
// redirections (administrative addresses, whole-domain catch-all or bounce), aliases the
// local aliases that pipe mail into the bounce program. Nothing here fails.
#pragma once

#include <string>

namespace corvo::mail::postfix::database {

inline const std::string virtualDomainsTable = "hash:/var/spool/postfix/corvo/virtual_domains";
inline const std::string virtualTable = "hash:/var/spool/postfix/corvo/virtual";
inline const std::string aliasesTable = "hash:/var/spool/postfix/corvo/aliases";

// The host part of the local targets: "N@localhost.localdomain" is delivered locally.
inline const std::string localHost = "localhost.localdomain";

} // namespace corvo::mail::postfix::database
