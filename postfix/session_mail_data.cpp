// Session mail data: one process-wide record behind obtain and release, and the two
// queries of the table operations.
//
// DIAGNOSTICS: see session_mail_data.h.
#include "postfix/session_mail_data.h"

#include "diagnostics/log.h"

#include <cstring>

namespace {

mail_db_data_t* session_record = nullptr;

void release_items(const json_array& array) {
    if (array.items != nullptr)
        json_default_allocator.release(json_default_allocator.context, array.items);
}

// Copies the first count texts of array into a new null-terminated array.
char** copy_texts(const json_array& array) {
    char** result = nullptr;
    const auto* texts = static_cast<const char* const*>(array.items);
    for (std::uint64_t i = 0; texts != nullptr && i < array.count; ++i) {
        result = string_array_append(result, texts[i]);
        if (result == nullptr)
            break;
    }
    return result;
}

bool describes(const char* domain) {
    return session_record != nullptr && session_record->name != nullptr && domain != nullptr &&
           std::strcmp(session_record->name, domain) == 0;
}

} // namespace

mail_db_data_t* obtain_session_mail_data(void) {
    if (session_record == nullptr) {
        void* block =
            json_default_allocator.allocate(json_default_allocator.context, sizeof(mail_db_data_t));
        if (block == nullptr)
            return nullptr;
        std::memset(block, 0, sizeof(mail_db_data_t));
        session_record = static_cast<mail_db_data_t*>(block);
    }
    return session_record;
}

void release_session_mail_data(void) {
    if (session_record == nullptr)
        return;
    const auto* mailboxes = static_cast<const mail_db_mailbox_t*>(session_record->mails.items);
    for (std::uint64_t i = 0; mailboxes != nullptr && i < session_record->mails.count; ++i)
        release_items(mailboxes[i].aliases);
    release_items(session_record->dom_aliases);
    release_items(session_record->mail_lists);
    release_items(session_record->mails);
    release_items(session_record->certificates);
    json_default_allocator.release(json_default_allocator.context, session_record);
    session_record = nullptr;
}

int get_mailnames_by_domain(const char* domain, char*** names) {
    *names = nullptr;
    if (!describes(domain))
        return 0;
    const auto* mailboxes = static_cast<const mail_db_mailbox_t*>(session_record->mails.items);
    for (std::uint64_t i = 0; mailboxes != nullptr && i < session_record->mails.count; ++i) {
        *names = string_array_append(*names, mailboxes[i].name);
        if (*names == nullptr)
            break;
    }
    return 0;
}

int get_domaliases_by_domain(const char* domain, char*** aliases) {
    *aliases = describes(domain) ? copy_texts(session_record->dom_aliases) : nullptr;
    return 0;
}
