// Domain mail switch: mail on enters the domain into virtual_domains and redirects its
// administrative addresses to the same names at the local host; mail off removes those
// entries and the domain's whole-domain ("@" D) redirection. Domain aliases and the bounce
// alias entries are left alone in both directions.
//
// DIAGNOSTICS: see MailSwitch.hpp. Each step is one postmap run; the first failure ends
// the call and the steps before it stay done.
#include "postfix/MailSwitch.hpp"

#include "config/AdminAliases.hpp"
#include "files/MailDirectory.hpp"
#include "postfix/SessionMailData.hpp"
#include "postfix/database/Postmap.hpp"
#include "postfix/database/Tables.hpp"

namespace corvo::mail::postfix {

void setDomainMailEnabled(const DomainInfo& domain, bool enabled) {
    prepareDomainMailDirectory(mailSystemUser(), domain.name);
    const SessionMailData session;
    if (enabled)
        enableDomainMail(domain.name);
    else
        disableDomainMail(domain.name);
}

void enableDomainMail(const std::string& domain) {
    database::addRecords(database::virtualDomainsTable, {{domain, domain + "/"}});
    addAdminAliasEntries(domain);
    // Mailbox entries belong to the mailbox tools; the blank session record lists no
    // mailboxes, so there is nothing to write for them here.
    static_cast<void>(sessionMailNames(domain));
}

void disableDomainMail(const std::string& domain) {
    database::removeKey(database::virtualDomainsTable, domain);
    removeAdminAliasEntries(domain);
    removeCatchAllEntries(domain);
    static_cast<void>(sessionMailNames(domain));
}

void addAdminAliasEntries(const std::string& domain) {
    std::vector<database::Record> records;
    for (const std::string& name : getAdminAliases())
        records.emplace_back(name + "@" + domain, name + "@" + database::localHost);
    database::addRecords(database::virtualTable, records);
}

void removeAdminAliasEntries(const std::string& domain) {
    std::vector<std::string> keys;
    for (const std::string& name : getAdminAliases())
        keys.push_back(name + "@" + domain);
    database::removeKeys(database::virtualTable, keys);
}

void removeCatchAllEntries(const std::string& domain) {
    std::vector<std::string> keys;
    for (const std::string& alias : sessionDomainAliases(domain))
        keys.push_back("@" + alias);
    keys.push_back("@" + domain);
    database::removeKeys(database::virtualTable, keys);
}

} // namespace corvo::mail::postfix
