// The session mail data bracket of the object layer.
//
// A SessionMailData object obtains the process's session record and blanks it (empty name,
// no mailboxes); its destructor releases the record, whichever way the table work ends.
// While it lives, the queries below see the blank record and answer with empty lists.
//
// DIAGNOSTICS: the constructor raises corvo::CorvoUtilException when the record cannot be
// allocated.
#pragma once

#include <string>
#include <vector>

namespace corvo::mail::postfix {

class SessionMailData {
public:
    SessionMailData();
    ~SessionMailData();
    SessionMailData(const SessionMailData&) = delete;
    SessionMailData& operator=(const SessionMailData&) = delete;
};

// Copies a null-terminated array of heap texts in order, then frees the texts and the
// array; null gives an empty list.
std::vector<std::string> collectStrings(char** array);

// The mailbox names and the domain aliases that the session record lists for the domain.
std::vector<std::string> sessionMailNames(const std::string& domain);
std::vector<std::string> sessionDomainAliases(const std::string& domain);

} // namespace corvo::mail::postfix
