// The panel's Postfix lookup tables, as postmap is given them.
//
// virtual_domains holds one entry per domain whose mail is on, virtual the address
// redirections (administrative addresses, whole-domain catch-all or bounce), aliases the
// local aliases that pipe mail into the bounce program. The key and value forms below are
// the only place where an entry's shape is spelled; what writes the tables and what reads
// them back both use them. Nothing here fails.
#pragma once

#include <string>

namespace corvo::mail::postfix::database {

inline const std::string kVirtualDomainsTable = "hash:/var/spool/postfix/corvo/virtual_domains";
inline const std::string kVirtualTable = "hash:/var/spool/postfix/corvo/virtual";
inline const std::string kAliasesTable = "hash:/var/spool/postfix/corvo/aliases";

// The host part of the local targets: "N@localhost.localdomain" is delivered locally.
inline const std::string kLocalHost = "localhost.localdomain";

// The virtual_domains entry of a domain whose mail is on: the domain, and it with a '/'.
inline std::string virtualDomainsValue(const std::string& domain) {
    return domain + "/";
}

// "N@D": an address of a domain (administrative address) in the virtual table.
inline std::string addressOf(const std::string& local, const std::string& domain) {
    return local + "@" + domain;
}

// "N@localhost.localdomain": the local target of an administrative address or bounce alias.
inline std::string localAddress(const std::string& local) {
    return addressOf(local, kLocalHost);
}

// "@D": the whole-domain redirection (catch-all or bounce) in the virtual table.
inline std::string wholeDomainKey(const std::string& name) {
    return "@" + name;
}

// The aliases key of a name's bounce entry.
inline std::string bounceAliasName(const std::string& name) {
    return "_corvo_bounce_" + name;
}

} // namespace corvo::mail::postfix::database
