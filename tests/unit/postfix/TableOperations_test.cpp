// The mail switch, the non-existent mail policy, the bounce command text and the session
// mail data bracket.
#include "postfix/MailSwitch.hpp"
#include "postfix/NonExistentMail.hpp"
#include "postfix/SessionMailData.hpp"
#include "postfix/database/Postmap.hpp"
#include "postfix/database/Tables.hpp"
#include "postfix/session_mail_data.h"

#include "PostfixTestSupport.hpp"
#include "diagnostics/Errors.hpp"

#include <cstdlib>
#include <cstring>

using namespace corvo;
using namespace corvo::mail::postfix;
using namespace corvo::mail::postfix::database;
using namespace postfix_test;

namespace {

const std::string program = "\"|/usr/lib/corvo-9.0/bouncemessage";
const std::string panelIni = "/opt/vca/admin/conf/panel.ini";

void writeAdminAliases(const std::string& line) {
    std::filesystem::create_directories("/opt/vca/admin/conf");
    std::ofstream(panelIni) << "[mail]\n" << line << "\n";
}

DomainInfo domainNamed(const std::string& name) {
    DomainInfo domain{};
    domain.name = name;
    return domain;
}

class TableOperationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        removeTables();
        std::filesystem::remove(panelIni);
    }
};

} // namespace

TEST(BounceCommandText, QuotesTheMessageTwice) {
    const struct {
        const char* message;
        std::string value;
    } cases[] = {
        {"", program + "\""},
        {"Sorry gone", program + " Sorry\\\\\\ gone\""},
        {"a\\b", program + " a\\\\\\\\b\""},
        {"two\nlines", program + " two\\\\\\ lines\""},
        {"say \"hi\"", program + " say\\\\\\ \\\\\\\"hi\\\\\\\"\""},
        {"$x;|~", program + " \\\\\\$x\\\\\\;\\\\\\|\\\\\\~\""},
        {"caf\xc3\xa9!{}]^=", program + " caf\xc3\xa9!{}]^=\""},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.message);
        EXPECT_EQ(bounceCommandText(item.message), item.value);
    }
}

TEST(SessionMailData, EachBracketStartsBlank) {
    static const char* aliases[] = {"a.example", "b.example"};
    {
        const SessionMailData session;
        mail_db_data_t* record = obtain_session_mail_data();
        ASSERT_NE(record, nullptr);
        EXPECT_STREQ(record->name, "");
        EXPECT_TRUE(sessionDomainAliases("example.com").empty());
        // Filled as a mail tool would fill it; the release frees the array.
        record->name = "example.com";
        record->dom_aliases = {2, 2, std::malloc(sizeof aliases)};
        std::memcpy(record->dom_aliases.items, aliases, sizeof aliases);
        EXPECT_EQ(sessionDomainAliases("example.com"),
                  (std::vector<std::string>{"a.example", "b.example"}));
        EXPECT_TRUE(sessionDomainAliases("Example.com").empty());
        EXPECT_TRUE(sessionMailNames("example.com").empty());
    }
    const SessionMailData session;
    EXPECT_EQ(obtain_session_mail_data()->dom_aliases.count, 0u);
    EXPECT_TRUE(sessionDomainAliases("example.com").empty());
    release_session_mail_data();
    release_session_mail_data(); // nothing left: no effect
}

TEST_F(TableOperationsTest, MailSwitchRunsPostmapInOrder) {
    const std::string add = "-r -i ", remove = "-d - ";
    std::string admin = add + virtualTable + "\n", adminKeys = remove + virtualTable + "\n";
    for (const char* name :
         {"anonymous", "drweb", "kluser", "mailer-daemon", "postmaster", "root"}) {
        admin += std::string(name) + "@d.com " + name + "@localhost.localdomain\n";
        adminKeys += std::string(name) + "@d.com\n";
    }
    const std::string on = add + virtualDomainsTable + "\nd.com d.com/\n";
    const std::string off = "-d d.com " + virtualDomainsTable + "\n";
    const std::string catchAll = remove + virtualTable + "\n@d.com\n";
    const struct {
        const char* settings;
        bool enabled;
        std::string log;
    } cases[] = {
        {nullptr, true, on + admin},
        {nullptr, false, off + adminKeys + catchAll},
        {"adminAliases =", true, on},
        {"adminAliases =", false, off + catchAll},
        {"adminAliases = Root", true,
         on + add + virtualTable + "\nroot@d.com root@localhost.localdomain\n"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(std::string(item.settings ? item.settings : "default") +
                     (item.enabled ? " on" : " off"));
        std::filesystem::remove(panelIni);
        if (item.settings != nullptr)
            writeAdminAliases(item.settings);
        StandIn standIn;
        setDomainMailEnabled(domainNamed("d.com"), item.enabled);
        EXPECT_EQ(readLog(), item.log);
        EXPECT_TRUE(std::filesystem::is_directory("/var/qmail/mailnames/d.com"));
    }
}

TEST_F(TableOperationsTest, PolicyWritesOneNameAtATime) {
    const std::string bounceValue = program + " Gone\\\\\\ away\"";
    const struct {
        NonExistentMailType type;
        const char* argument;
        std::string log;
    } cases[] = {
        {NonExistentMailType::Reject, "x@y.com", ""},
        {NonExistentMailType::Catchall, "", "-r -i " + virtualTable + "\n@d.com \n"},
        {NonExistentMailType::Catchall, "a b@y.com",
         "-r -i " + virtualTable + "\n@d.com a b@y.com\n"},
        {NonExistentMailType::Bounce, "Gone away",
         "-r -i " + aliasesTable + "\n_corvo_bounce_d.com " + bounceValue + "\n-r -i " +
             virtualTable + "\n@d.com _corvo_bounce_d.com@localhost.localdomain\n"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.argument);
        StandIn standIn;
        applyNonExistentMailPolicy("d.com", item.type, item.argument);
        EXPECT_EQ(readLog(), item.log);
    }
}

// A restore-like life of one domain with an alias against the real postmap.
TEST_F(TableOperationsTest, TablesFollowTheDomainThroughItsLife) {
    const DomainInfo domain = domainNamed("d.com");
    EXPECT_THROW(setDomainMailEnabled(domain, false), PostfixDatabaseError); // no tables yet
    writeAdminAliases("adminAliases = postmaster");
    for (int pass = 0; pass < 2; ++pass) { // the second pass replaces what the first wrote
        setDomainMailEnabled(domain, true);
        applyNonExistentMailPolicy("d.com", NonExistentMailType::Catchall, "all@y.com");
        applyNonExistentMailPolicy("a.com", NonExistentMailType::Catchall, "all@y.com");
    }
    EXPECT_EQ(readTable(virtualDomainsTable), std::vector<std::string>{"d.com\td.com/"});
    applyNonExistentMailPolicy("d.com", NonExistentMailType::Bounce, "Bye");
    applyNonExistentMailPolicy("a.com", NonExistentMailType::Reject, "");
    EXPECT_EQ(readTable(virtualTable),
              (std::vector<std::string>{"@a.com\tall@y.com",
                                        "@d.com\t_corvo_bounce_d.com@localhost.localdomain",
                                        "postmaster@d.com\tpostmaster@localhost.localdomain"}));
    setDomainMailEnabled(domain, false);
    setDomainMailEnabled(domain, false); // absent keys are no failure
    EXPECT_EQ(readTable(virtualDomainsTable), std::vector<std::string>{});
    EXPECT_EQ(readTable(virtualTable), std::vector<std::string>{"@a.com\tall@y.com"});
    EXPECT_EQ(readTable(aliasesTable),
              std::vector<std::string>{"_corvo_bounce_d.com\t" + program + " Bye\""});
}
