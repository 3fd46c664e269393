// The session mail data bracket.
//
// DIAGNOSTICS: see SessionMailData.hpp.
#include "postfix/SessionMailData.hpp"

#include "diagnostics/Errors.hpp"
#include "postfix/session_mail_data.h"

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

} // namespace corvo::mail::postfix
