// Non-existent mail policy: a whole-domain catch-all entry in the virtual table, a bounce
// entry pair (a local alias piping into the bounce program, and the virtual redirection to
// it), or nothing at all for reject. Reject removes nothing written earlier.
//
// DIAGNOSTICS: see NonExistentMail.hpp. When the aliases insert of a bounce succeeded and
// the virtual insert fails, the alias entry stays.
#include "postfix/NonExistentMail.hpp"

#include "lib/process/lib/CmdLine.hpp"
#include "postfix/database/Tables.hpp"

#include <boost/algorithm/string/replace.hpp>

#include <utility>

namespace corvo::mail::postfix {

namespace {

const std::string kBounceProgram = "/usr/lib/corvo-9.0/bouncemessage";

using database::TableChange;

// An insert of one record, built in place: a plan holds one or two per name.
TableChange insertion(const std::string& table, std::string key, std::string value) {
    TableChange change{TableChange::Kind::Insert, table, {}, {}};
    change.records.emplace_back(std::move(key), std::move(value));
    return change;
}

} // namespace

std::vector<TableChange> nonExistentMailChanges(const std::string& name, NonExistentMailType type,
                                                const std::string& argument) {
    std::vector<TableChange> changes;
    switch (type) {
    case NonExistentMailType::Bounce: {
        std::string alias = database::bounceAliasName(name);
        std::string local = database::localAddress(alias);
        changes.reserve(2);
        changes.push_back(
            insertion(database::kAliasesTable, std::move(alias), bounceCommandText(argument)));
        changes.push_back(
            insertion(database::kVirtualTable, database::wholeDomainKey(name), std::move(local)));
        break;
    }
    case NonExistentMailType::Catchall:
        changes.push_back(
            insertion(database::kVirtualTable, database::wholeDomainKey(name), argument));
        break;
    case NonExistentMailType::Reject:
        break;
    }
    return changes;
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
