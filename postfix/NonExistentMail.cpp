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

namespace corvo::mail::postfix {

namespace {

const std::string kBounceProgram = "/usr/lib/corvo-9.0/bouncemessage";

using database::TableChange;

} // namespace

std::vector<TableChange> nonExistentMailChanges(const std::string& name, NonExistentMailType type,
                                                const std::string& argument) {
    const std::string wholeDomain = database::wholeDomainKey(name);
    switch (type) {
    case NonExistentMailType::Bounce: {
        const std::string alias = database::bounceAliasName(name);
        return {{TableChange::Kind::Insert,
                 database::kAliasesTable,
                 {{alias, bounceCommandText(argument)}},
                 {}},
                {TableChange::Kind::Insert,
                 database::kVirtualTable,
                 {{wholeDomain, database::localAddress(alias)}},
                 {}}};
    }
    case NonExistentMailType::Catchall:
        return {
            {TableChange::Kind::Insert, database::kVirtualTable, {{wholeDomain, argument}}, {}}};
    case NonExistentMailType::Reject:
        break;
    }
    return {};
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
