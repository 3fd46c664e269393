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

const std::string bounceProgram = "/usr/lib/corvo-9.0/bouncemessage";
const std::string bounceAliasPrefix = "_corvo_bounce_";

} // namespace

void applyNonExistentMailPolicy(const std::string& name, NonExistentMailType type,
                                const std::string& argument) {
    const std::vector<std::string> names{name};
    const SessionMailData session;
    switch (type) {
    case NonExistentMailType::Bounce:
        addBounceEntries(names, argument);
        break;
    case NonExistentMailType::Catchall:
        addCatchAllEntries(names, argument);
        break;
    case NonExistentMailType::Reject:
        break;
    }
}

void addCatchAllEntries(const std::vector<std::string>& names, const std::string& target) {
    std::vector<database::Record> records;
    for (const std::string& name : names)
        records.emplace_back("@" + name, target);
    database::addRecords(database::virtualTable, records);
}

void addBounceEntries(const std::vector<std::string>& names, const std::string& message) {
    const std::string command = bounceCommandText(message);
    std::vector<database::Record> redirects;
    for (const std::string& name : names) {
        const std::string alias = bounceAliasPrefix + name;
        database::addRecords(database::aliasesTable, {{alias, command}});
        redirects.emplace_back("@" + name, alias + "@" + database::localHost);
    }
    database::addRecords(database::virtualTable, redirects);
}

// The alias value is read by the local delivery agent as a quoted string (one level of
// backslashes) and then, because it holds shell characters, by the shell (a second level):
// the message is quoted twice so that it reaches the bounce program as one argument. Line
// feeds would end the table line, so they become spaces first.
std::string bounceCommandText(const std::string& message) {
    std::string text = "\"|" + bounceProgram;
    if (!message.empty()) {
        const std::string oneLine = boost::algorithm::replace_all_copy(message, "\n", " ");
        text += ' ';
        text += quoteArgument(quoteArgument(oneLine));
    }
    text += '"';
    return text;
}

} // namespace corvo::mail::postfix
