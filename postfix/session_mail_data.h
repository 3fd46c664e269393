// Session mail data: the process-wide record of one domain's mail accounts that the table
// operations consult for a domain's mailboxes and domain aliases.
//
// This tool never fills it: each table operation obtains it, blanks it (empty name, no
// mailboxes) and releases it, so every query answers with no array. The record and its
// arrays live on the process heap through json_default_allocator; the texts they point to
// are never owned by the record.
//
// DIAGNOSTICS: obtain_session_mail_data returns null when the record cannot be allocated.
// The queries always return 0; a text that cannot be copied ends the result early (the
// failure is logged by string_array_append).
#pragma once

#include "input/json_reader.h"

#include <cstdint>

struct mail_db_mailbox_t {
    const char* name;
    std::int64_t mbox_quota;
    json_array aliases; // items: const char*
};

struct mail_db_certificate_t {
    const char* certfile;
};

struct mail_db_data_t {
    const char* name;        // the domain described; not owned
    json_array dom_aliases;  // items: const char*
    json_array mail_lists;   // items: const char*
    json_array mails;        // items: mail_db_mailbox_t
    json_array certificates; // items: mail_db_certificate_t
};

// The process's record, created zero-filled on first use; null when allocation fails.
mail_db_data_t* obtain_session_mail_data(void);

// Releases the arrays the record owns and the record itself, and forgets it, so that the
// next obtain creates a new one. Without a record does nothing.
void release_session_mail_data(void);

// When the record describes domain (byte for byte), *names receives a null-terminated heap
// array of heap copies of its mailbox names, in order (null when there are none);
// otherwise *names is null. The caller frees it with string_array_free. Returns 0.
int get_mailnames_by_domain(const char* domain, char*** names);

// The same for the record's domain aliases.
int get_domaliases_by_domain(const char* domain, char*** aliases);
