// Non-existent mail policy: a whole-domain catch-all entry in the virtual table, a bounce
// entry pair (a local alias piping into the bounce program, and the virtual redirection to
// it), or nothing at all for reject. Reject removes nothing written earlier.
//
// DIAGNOSTICS: see NonExistentMail.hpp. When the aliases insert of a bounce succeeded and
// the virtual insert fails, the alias entry stays.
#include "postfix/NonExistentMail.hpp"

#include "lib/process/lib/CmdLine.hpp"
#include "postfix/SessionMailData.hpp"
#include "postfix/database/Postmap.hpp"
#include "postfix/database/Tables.hpp"

#include <boost/algorithm/string/replace.hpp>

namespace corvo::mail::postfix {

namespace {

const std::string kBounceProgram = "/usr/lib/corvo-9.0/bouncemessage";

using database::TableChange;

} // namespace

std::vector<TableChange> nonExistentMailChanges(const std::string& name, NonExistentMailType type,
                                                const std::string& argument) {
    const std::vector<std::string> names{name};
    const SessionMailData session;
    switch (type) {
    case NonExistentMailType::Bounce:
        return bounceChanges(names, argument);
    case NonExistentMailType::Catchall:
        return catchAllChanges(names, argument);
    case NonExistentMailType::Reject:
        break;
    }
    return {};
}

std::vector<TableChange> catchAllChanges(const std::vector<std::string>& names,
                                         const std::string& target) {
    TableChange change{TableChange::Kind::Insert, database::kVirtualTable, {}, {}};
    for (const std::string& name : names)
        change.records.emplace_back(database::wholeDomainKey(name), target);
    std::vector<TableChange> changes{change};
    std::erase_if(changes, database::isEmptyChange);
    return changes;
}

std::vector<TableChange> bounceChanges(const std::vector<std::string>& names,
                                       const std::string& message) {
    const std::string command = bounceCommandText(message);
    std::vector<TableChange> changes;
    TableChange redirects{TableChange::Kind::Insert, database::kVirtualTable, {}, {}};
    for (const std::string& name : names) {
        const std::string alias = database::bounceAliasName(name);
        changes.push_back(
            {TableChange::Kind::Insert, database::kAliasesTable, {{alias, command}}, {}});
        redirects.records.emplace_back(database::wholeDomainKey(name),
                                       database::localAddress(alias));
    }
    changes.push_back(redirects);
    std::erase_if(changes, database::isEmptyChange);
    return changes;
}

void applyNonExistentMailPolicy(const std::string& name, NonExistentMailType type,
                                const std::string& argument) {
    database::applyChanges(nonExistentMailChanges(name, type, argument));
}

void addCatchAllEntries(const std::vector<std::string>& names, const std::string& target) {
    database::applyChanges(catchAllChanges(names, target));
}

void addBounceEntries(const std::vector<std::string>& names, const std::string& message) {
    database::applyChanges(bounceChanges(names, message));
}

// The alias value is read by the local delivery agent as a quoted string (one level of
// backslashes) and then, because it holds shell characters, by the shell (a second level):
// the message is quoted twice so that it reaches the bounce program as one argument. Line
// feeds would end the table line, so they become spaces first.
std::string bounceCommandText(const std::string& message) {
    std::string text = "\"|" + kBounceProgram;
    if (!message.empty()) {
        const std::string oneLine = boost::algorithm::replace_all_copy(message, "\n", " ");
        text += ' ';
        text += quoteArgument(quoteArgument(oneLine));
    }
    text += '"';
    return text;
}

} // namespace corvo::mail::postfix
