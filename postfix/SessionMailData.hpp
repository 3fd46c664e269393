// The session mail data bracket of the object layer.
//
// A SessionMailData object obtains the process's session record and blanks it (empty name,
// no mailboxes); its destructor releases the record, whichever way the table work ends.
// The restore keeps one alive around each table operation (the mail switch, the policy for
// one name); while it lives, the record's queries (session_mail_data.h) answer with nothing.
//
// DIAGNOSTICS: the constructor raises corvo::CorvoUtilException when the record cannot be
// allocated.
#pragma once

namespace corvo::mail::postfix {

class SessionMailData {
public:
    SessionMailData();
    ~SessionMailData();
    SessionMailData(const SessionMailData&) = delete;
    SessionMailData& operator=(const SessionMailData&) = delete;
};

} // namespace corvo::mail::postfix
