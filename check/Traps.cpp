// The traps of a document, in field order.
#include "check/Traps.hpp"

#include "driver/Plan.hpp"
#include "lib/base/ascii.h"

#include <algorithm>
#include <cstddef>
#include <unordered_map>

namespace corvo::check {
namespace {

// The field of each alias (its first place in the list), found without a walk per alias.
std::unordered_map<std::string, std::string> aliasFields(const DomainInfo& domain) {
    std::unordered_map<std::string, std::string> fields;
    for (std::size_t i = 0; i < domain.aliases.size(); ++i)
        fields.emplace(domain.aliases[i], "domain.aliases[" + std::to_string(i) + "]");
    return fields;
}

bool blank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), ascii_is_blank);
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

} // namespace

std::vector<Trap> documentTraps(const DomainInfo& domain) {
    std::vector<Trap> traps;
    for (std::size_t i = 0; i < domain.aliases.size(); ++i) {
        if (domain.aliases[i] == domain.name)
            traps.push_back({"domain.aliases[" + std::to_string(i) + "]",
                             "the alias is the domain itself: a run registers the domain as its "
                             "own alias, and its keys copy fails half-way, after the tables "
                             "changed",
                             "the aliases without the domain's own name"});
    }
    const std::string& argument = domain.non_existent_arg;
    switch (mail::effectivePolicy(domain)) {
    case NonExistentMailType::Catchall:
        if (blank(argument))
            traps.push_back({"domain.non_existent.arg",
                             "an empty catch-all target: postmap drops the entry with a warning "
                             "and exit status 0, and an earlier target stays",
                             "a full address as the target, or the type \"reject\""});
        else if (argument.find('\n') != std::string::npos)
            traps.push_back({"domain.non_existent.arg",
                             "a line feed in the catch-all target ends the entry there; what "
                             "follows is written as a second entry of its own",
                             "one address, without line breaks"});
        break;
    case NonExistentMailType::Bounce:
        if (argument.find('\r') != std::string::npos)
            traps.push_back({"domain.non_existent.arg",
                             "a carriage return in the bounce message is not quoted: the bounce "
                             "program gets the message split into two arguments",
                             "the message without carriage returns (line feeds become spaces)"});
        break;
    case NonExistentMailType::Reject:
        break;
    }
    return traps;
}

std::vector<Trap> serverTraps(const DomainInfo& domain, const Inspection& inspection) {
    std::vector<Trap> traps;
    std::vector<std::string> left;
    for (const EntryCheck& entry : inspection.entries)
        if (entry.state() == EntryCheck::State::LeftBehind)
            left.push_back(entry.key);
    if (!left.empty() && !domain.enabled)
        traps.push_back({"domain.enabled",
                         "mail off removes the domain's own entries only: " + joined(left) +
                             " stay in the tables",
                         "mail off as now, and those entries removed by hand (postmap -d KEY "
                         "TABLE), or mail on with the policy that should hold"});
    else if (!left.empty() && domain.non_existent_type == NonExistentMailType::Reject)
        traps.push_back({"domain.non_existent.type",
                         "reject writes and removes nothing: the earlier entries " + joined(left) +
                             " stay and keep taking the mail",
                         "\"catchall\" or \"bounce\" with the wanted argument, or reject and "
                         "those entries removed by hand (postmap -d KEY TABLE)"});
    const auto fields = inspection.unlistedAliases.empty()
                            ? std::unordered_map<std::string, std::string>()
                            : aliasFields(domain);
    for (const std::string& alias : inspection.unlistedAliases)
        traps.push_back({fields.at(alias),
                         "the alias " + alias +
                             " is not in the virtual domains table, so Postfix never consults "
                             "its whole-domain entry and refuses its mail",
                         "the alias listed as a virtual domain by the panel first, or left out "
                         "of the aliases"});
    return traps;
}

} // namespace corvo::check
