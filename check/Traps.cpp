// The traps of a document, in field order.
#include "check/Traps.hpp"

#include "check/Encoding.hpp"
#include "driver/DomainKeys.hpp"
#include "driver/Plan.hpp"
#include "lib/base/ascii.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <tuple>
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

// The longest text that one argument of a program may be (with its terminating zero).
constexpr std::size_t kLongestArgument = 128 * 1024 - 1;

bool address(int family, const std::string& text) {
    unsigned char buffer[16];
    return ::inet_pton(family, text.c_str(), buffer) == 1;
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
        else if (std::any_of(argument.begin(), argument.end(), ascii_is_blank) ||
                 argument.find(',') != std::string::npos)
            traps.push_back({"domain.non_existent.arg",
                             "a blank or a comma in the catch-all target: Postfix reads it as "
                             "several recipients, and the mail goes to each",
                             "one address, without blanks or commas"});
        else if (argument.find('@') == std::string::npos)
            traps.push_back({"domain.non_existent.arg",
                             "a catch-all target without \"@\": Postfix delivers it to a local "
                             "account of that name, not to an address",
                             "a full address, local part \"@\" domain"});
        break;
    case NonExistentMailType::Bounce:
        if (argument.find('\r') != std::string::npos)
            traps.push_back({"domain.non_existent.arg",
                             "a carriage return in the bounce message is not quoted: the bounce "
                             "program gets the message split into two arguments",
                             "the message without carriage returns (line feeds become spaces)",
                             Severity::Warning});
        if (argument.size() > kLongestArgument)
            traps.push_back({"domain.non_existent.arg",
                             "a bounce message of " + std::to_string(argument.size()) +
                                 " bytes, longer than one argument may be (128 KiB): the "
                                 "bounce program cannot start at delivery",
                             "a message shorter than 128 KiB"});
        break;
    case NonExistentMailType::Reject:
        break;
    }
    for (const auto& [field, family, text] :
         {std::tuple{"domain.transport.ipv4", AF_INET, domain.transport_ipv4},
          std::tuple{"domain.transport.ipv6", AF_INET6, domain.transport_ipv6}}) {
        if (!text.empty() && !address(family, text))
            traps.push_back({field,
                             "not an IPv" + std::string(family == AF_INET ? "4" : "6") +
                                 " address: " + visible(text) +
                                 "; the sender transport is given it as it is",
                             std::string("an address in ") +
                                 (family == AF_INET ? "dotted decimal form (203.0.113.10)"
                                                    : "colon form (2001:db8::10)") +
                                 ", or the member left empty"});
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
                         "TABLE), or mail on with the policy that should hold",
                         Severity::Warning});
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
    // The domain's own keys are secrets of its signer: readable by their owner alone.
    namespace fs = std::filesystem;
    const fs::path keys = mail::domainKeysEntry(domain.name);
    std::error_code error;
    std::vector<std::string> readable;
    for (fs::recursive_directory_iterator item(keys, error), end; !error && item != end;
         item.increment(error)) {
        struct stat status {};
        if (::lstat(item->path().c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            (status.st_mode & (S_IRGRP | S_IROTH)) != 0)
            readable.push_back(visible(item->path().string()));
    }
    if (!readable.empty())
        traps.push_back(
            {"domain.name",
             "the domain's keys are readable by their group or by others: " + joined(readable),
             "the same document once the files are given mode 0600 (chmod go-r)",
             Severity::Warning});
    return traps;
}

} // namespace corvo::check
