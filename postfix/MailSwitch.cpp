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
#include "postfix/database/Tables.hpp"

namespace corvo::mail::postfix {

using database::TableChange;

std::vector<TableChange> domainMailChanges(const std::string& domain, bool enabled) {
    const SessionMailData session;
    std::vector<TableChange> changes;
    if (enabled) {
        changes = {virtualDomainsEntry(domain), adminAliasEntries(domain)};
    } else {
        changes = {{TableChange::Kind::DeleteOne, database::kVirtualDomainsTable, {}, {domain}},
                   adminAliasRemoval(domain),
                   catchAllRemoval(domain)};
    }
    // Mailbox entries belong to the mailbox tools; the blank session record lists no
    // mailboxes, so there is nothing to write or remove for them here.
    static_cast<void>(sessionMailNames(domain));
    std::erase_if(changes, database::isEmptyChange);
    return changes;
}

TableChange virtualDomainsEntry(const std::string& domain) {
    return {TableChange::Kind::Insert,
            database::kVirtualDomainsTable,
            {{domain, database::virtualDomainsValue(domain)}},
            {}};
}

TableChange adminAliasEntries(const std::string& domain) {
    TableChange change{TableChange::Kind::Insert, database::kVirtualTable, {}, {}};
    for (const std::string& name : getAdminAliases())
        change.records.emplace_back(database::addressOf(name, domain),
                                    database::localAddress(name));
    return change;
}

TableChange adminAliasRemoval(const std::string& domain) {
    TableChange change{TableChange::Kind::Delete, database::kVirtualTable, {}, {}};
    for (const std::string& name : getAdminAliases())
        change.keys.push_back(database::addressOf(name, domain));
    return change;
}

TableChange catchAllRemoval(const std::string& domain) {
    TableChange change{TableChange::Kind::Delete, database::kVirtualTable, {}, {}};
    for (const std::string& alias : sessionDomainAliases(domain))
        change.keys.push_back(database::wholeDomainKey(alias));
    change.keys.push_back(database::wholeDomainKey(domain));
    return change;
}

void setDomainMailEnabled(const DomainInfo& domain, bool enabled) {
    prepareDomainMailDirectory(mailSystemUser(), domain.name);
    database::applyChanges(domainMailChanges(domain.name, enabled));
}

void enableDomainMail(const std::string& domain) {
    database::applyChanges(domainMailChanges(domain, true));
}

void disableDomainMail(const std::string& domain) {
    database::applyChanges(domainMailChanges(domain, false));
}

void addAdminAliasEntries(const std::string& domain) {
    database::applyChange(adminAliasEntries(domain));
}

void removeAdminAliasEntries(const std::string& domain) {
    database::applyChange(adminAliasRemoval(domain));
}

void removeCatchAllEntries(const std::string& domain) {
    const SessionMailData session;
    database::applyChange(catchAllRemoval(domain));
}

} // namespace corvo::mail::postfix
