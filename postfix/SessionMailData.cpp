// The session mail data bracket and the collectors of query results.
//
// DIAGNOSTICS: see SessionMailData.hpp.
#include "postfix/SessionMailData.hpp"

#include "diagnostics/Errors.hpp"
#include "diagnostics/log.h"
#include "postfix/session_mail_data.h"

#include <memory>

namespace corvo::mail::postfix {

SessionMailData::SessionMailData() {
    mail_db_data_t* record = obtain_session_mail_data();
    if (record == nullptr)
        throw CorvoUtilException("Unable to create or obtain session mail data object");
    // The empty text is static and not owned by the record: releasing never touches it.
    record->name = "";
    record->mails.count = 0;
}

SessionMailData::~SessionMailData() {
    release_session_mail_data();
}

std::vector<std::string> collectStrings(char** array) {
    // Freed also when copying a text runs out of memory.
    const std::unique_ptr<char*, decltype(&string_array_free)> owner(array, &string_array_free);
    std::vector<std::string> result;
    for (char** text = array; text != nullptr && *text != nullptr; ++text)
        result.emplace_back(*text);
    return result;
}

std::vector<std::string> sessionMailNames(const std::string& domain) {
    char** names = nullptr;
    get_mailnames_by_domain(domain.c_str(), &names);
    return collectStrings(names);
}

std::vector<std::string> sessionDomainAliases(const std::string& domain) {
    char** aliases = nullptr;
    get_domaliases_by_domain(domain.c_str(), &aliases);
    return collectStrings(aliases);
}

} // namespace corvo::mail::postfix
