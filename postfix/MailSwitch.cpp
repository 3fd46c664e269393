// Domain mail switch: mail on enters the domain into virtual_domains and redirects its
// administrative addresses to the same names at the local host; mail off removes those
// entries and the domain's whole-domain ("@" D) redirection. Domain aliases and the bounce
// alias entries are left alone in both directions.
//
// DIAGNOSTICS: see MailSwitch.hpp.
#include "postfix/MailSwitch.hpp"

#include "config/AdminAliases.hpp"
#include "postfix/database/Tables.hpp"

namespace corvo::mail::postfix {

using database::TableChange;

std::vector<TableChange> domainMailChanges(const std::string& domain, bool enabled) {
    TableChange admin{enabled ? TableChange::Kind::Insert : TableChange::Kind::Delete,
                      database::kVirtualTable,
                      {},
                      {}};
    for (const std::string& name : getAdminAliases()) {
        if (enabled)
            admin.records.emplace_back(database::addressOf(name, domain),
                                       database::localAddress(name));
        else
            admin.keys.push_back(database::addressOf(name, domain));
    }
    std::vector<TableChange> changes;
    if (enabled) {
        changes = {{TableChange::Kind::Insert,
                    database::kVirtualDomainsTable,
                    {{domain, database::virtualDomainsValue(domain)}},
                    {}},
                   admin};
    } else {
        // The session mail data is blank during every table operation: it lists no domain
        // aliases and no mailboxes, so the domain's own "@" key is all there is to remove.
        changes = {{TableChange::Kind::DeleteOne, database::kVirtualDomainsTable, {}, {domain}},
                   admin,
                   {TableChange::Kind::Delete,
                    database::kVirtualTable,
                    {},
                    {database::wholeDomainKey(domain)}}};
    }
    std::erase_if(changes, database::isEmptyChange);
    return changes;
}

} // namespace corvo::mail::postfix
