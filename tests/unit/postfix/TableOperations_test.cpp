// The bounce command text and the session mail data bracket.
#include "diagnostics/log.h"
#include "postfix/NonExistentMail.hpp"
#include "postfix/SessionMailData.hpp"
#include "postfix/session_mail_data.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using namespace corvo::mail::postfix;

// Blanks, quotes and backslashes reach the tables in the end-to-end cases.
TEST(BounceCommandText, QuotesTheMessageTwice) {
    const std::string program = "\"|/usr/lib/corvo-9.0/bouncemessage";
    const std::pair<const char*, std::string> cases[] = {
        {"two\nlines", program + " two\\\\\\ lines\""},
        {"$x;|~", program + " \\\\\\$x\\\\\\;\\\\\\|\\\\\\~\""},
        {"caf\xc3\xa9!{}]^=", program + " caf\xc3\xa9!{}]^=\""},
    };
    for (const auto& [message, value] : cases) {
        SCOPED_TRACE(message);
        EXPECT_EQ(bounceCommandText(message), value);
    }
}

TEST(SessionMailData, EachBracketStartsBlank) {
    static const char* aliases[] = {"a.example"};
    {
        const SessionMailData session;
        mail_db_data_t* record = obtain_session_mail_data();
        EXPECT_STREQ(record->name, "");
        record->name = "example.com"; // filled as a mail tool would; the release frees the array
        record->dom_aliases = {1, 1, std::malloc(sizeof aliases)};
        std::memcpy(record->dom_aliases.items, aliases, sizeof aliases);
        char** listed = nullptr;
        get_domaliases_by_domain("example.com", &listed);
        ASSERT_NE(listed, nullptr);
        EXPECT_STREQ(listed[0], "a.example");
        string_array_free(listed);
    }
    const SessionMailData session;
    EXPECT_EQ(obtain_session_mail_data()->dom_aliases.count, 0u);
}
