// The check's comparison rules and traps, on hand-made plans and models (the scenarios in
// tests/check run it on real tables).
#include "check/DocumentText.hpp"
#include "check/Encoding.hpp"
#include "check/Findings.hpp"
#include "check/Inspect.hpp"
#include "check/Monitoring.hpp"
#include "check/Traps.hpp"
#include "postfix/database/Tables.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

using namespace corvo;
using namespace corvo::check;
using corvo::mail::postfix::database::TableChange;
namespace tables = corvo::mail::postfix::database;

namespace {

DomainInfo domainWith(NonExistentMailType type, const std::string& argument, bool enabled = true) {
    DomainInfo domain{};
    domain.name = "d.com";
    domain.aliases = {"a.com"};
    domain.non_existent_type = type;
    domain.non_existent_arg = argument;
    domain.enabled = enabled;
    return domain;
}

mail::Step tableStep(TableChange change) {
    return mail::TableStep{{std::move(change)}};
}

} // namespace

// The last call on a key decides; keys of the policy that no call touches come last.
TEST(ExpectedEntries, FollowTheLastCallOnEachKey) {
    const std::vector<mail::Step> plan{
        tableStep({TableChange::Kind::Insert, tables::kVirtualTable, {{"@d.com", "x"}}, {}}),
        tableStep({TableChange::Kind::Delete, tables::kVirtualTable, {}, {"@d.com", "r@d.com"}}),
        tableStep({TableChange::Kind::Insert, tables::kVirtualTable, {{"r@d.com", "y"}}, {}}),
    };
    const std::vector<EntryCheck> entries =
        expectedEntries(plan, domainWith(NonExistentMailType::Reject, ""));
    const std::vector<std::pair<std::string, EntryCheck::Want>> wanted{
        {"@d.com", EntryCheck::Want::Absent},
        {"r@d.com", EntryCheck::Want::Value},
        {"_corvo_bounce_d.com", EntryCheck::Want::Untouched},
        {"@a.com", EntryCheck::Want::Untouched},
        {"_corvo_bounce_a.com", EntryCheck::Want::Untouched},
    };
    ASSERT_EQ(entries.size(), wanted.size());
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        EXPECT_EQ(entries[i].key, wanted[i].first);
        EXPECT_EQ(entries[i].want, wanted[i].second);
    }
    EXPECT_EQ(entries[1].expected, "y");
}

// Each state is shown by the check's scenarios (drift-*, in-sync-*); these are the edges.
TEST(EntryCheck, StateFromWhatIsWantedAndWhatIsHeld) {
    using Want = EntryCheck::Want;
    using State = EntryCheck::State;
    const struct {
        Want want;
        std::optional<std::string> actual;
        State state;
    } cases[] = {
        {Want::Value, "", State::Other},
        {Want::Absent, std::nullopt, State::Ok},
        {Want::Untouched, std::nullopt, State::Ok},
    };
    for (const auto& item : cases) {
        const EntryCheck entry{"t", "k", item.want, "v", item.actual};
        EXPECT_EQ(entry.state(), item.state)
            << static_cast<int>(item.want) << " " << item.actual.value_or("(none)");
    }
}

// A file where the directory belongs differs even with the owner and mode a run gives; the
// drift-mail-directory-* scenarios show the other states.
TEST(MailDirectoryCheck, FileInItsPlaceIsADrift) {
    MailDirectoryCheck file;
    file.exists = true; // owner and mode as wanted: all zero
    EXPECT_EQ(file.state(), MailDirectoryCheck::State::NotADirectory);
    EXPECT_TRUE(category(file.state()).drift);
}

// More traps of the document in the check's trap-* scenarios.
TEST(Traps, OfTheDocument) {
    using Type = NonExistentMailType;
    const struct {
        Type type;
        std::string argument;
        bool enabled;
        const char* field; // of the one trap, or null for none
    } cases[] = {
        {Type::Catchall, " \t", true, "domain.non_existent.arg"},
        {Type::Catchall, "", false, nullptr}, // mail off: no policy is written
        {Type::Catchall, "a@d.com b@d.com", true, "domain.non_existent.arg"},
        {Type::Catchall, "a@d.com,b@d.com", true, "domain.non_existent.arg"},
        {Type::Catchall, "nobody", true, "domain.non_existent.arg"},
        {Type::Catchall, "o'k\\%@d.com", true, nullptr},
        {Type::Bounce, "Gone.\n Really.", true, nullptr}, // line feeds become spaces
        {Type::Bounce, "", true, nullptr},
        {Type::Bounce, std::string(128 * 1024 - 1, 'x'), true, nullptr},
        {Type::Bounce, std::string(128 * 1024, 'x'), true, "domain.non_existent.arg"},
        {Type::Reject, "\n", true, nullptr},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.argument.substr(0, 40) + " (" + std::to_string(item.argument.size()) +
                     " bytes)");
        const std::vector<Trap> traps =
            documentTraps(domainWith(item.type, item.argument, item.enabled));
        ASSERT_EQ(traps.size(), item.field ? 1u : 0u);
        if (item.field) {
            EXPECT_EQ(traps[0].field, item.field);
        }
    }
}

// Addresses as the sender transport takes them: empty is no address, not a wrong one.
TEST(Traps, TransportAddresses) {
    const struct {
        std::string ipv4, ipv6;
        std::vector<std::string> fields;
    } cases[] = {
        {"203.0.113.10", "2001:db8::10", {}},
        {"", "", {}},
        {"203.0.113.300", "::1", {"domain.transport.ipv4"}},
        {"2001:db8::10", "203.0.113.10", {"domain.transport.ipv4", "domain.transport.ipv6"}},
        {" 203.0.113.10", "2001:db8::g", {"domain.transport.ipv4", "domain.transport.ipv6"}},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.ipv4 + " " + item.ipv6);
        DomainInfo domain = domainWith(NonExistentMailType::Reject, "");
        domain.transport_ipv4 = item.ipv4;
        domain.transport_ipv6 = item.ipv6;
        std::vector<std::string> fields;
        for (const Trap& trap : documentTraps(domain))
            fields.push_back(trap.field);
        EXPECT_EQ(fields, item.fields);
    }
}

// Where a domain's mail goes is critical; an administrative alias or a leftover is not.
TEST(Findings, SeverityOfAnEntry) {
    using Want = EntryCheck::Want;
    const struct {
        std::string table, key;
        Want want;
        Severity severity;
    } cases[] = {
        {tables::kVirtualDomainsTable, "d.com", Want::Value, Severity::Critical},
        {tables::kVirtualTable, "@d.com", Want::Value, Severity::Critical},
        {tables::kVirtualTable, "@d.com", Want::Absent, Severity::Critical},
        {tables::kAliasesTable, "_corvo_bounce_d.com", Want::Value, Severity::Critical},
        {tables::kVirtualTable, "postmaster@d.com", Want::Value, Severity::Warning},
        {tables::kVirtualTable, "postmaster@d.com", Want::Absent, Severity::Warning},
        {tables::kVirtualTable, "@a.com", Want::Untouched, Severity::Warning},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.key);
        const EntryCheck entry{item.table, item.key, item.want, "v", "other"};
        EXPECT_TRUE(category(entry.state()).drift);
        EXPECT_EQ(severityOf(entry), item.severity);
    }
    MailDirectoryCheck directory;
    directory.exists = directory.isDirectory = true;
    directory.mode = 0700;
    directory.expectedMode = 0750;
    EXPECT_EQ(severityOf(directory), Severity::Warning); // the account still gets in
    directory.uid = 1;
    EXPECT_EQ(severityOf(directory), Severity::Critical);
    directory.isLink = true;
    EXPECT_EQ(directory.state(), MailDirectoryCheck::State::Link);
    EXPECT_EQ(severityOf(directory), Severity::Critical);
}

// The plugin's state: UNKNOWN only when the check could not look and knows nothing critical.
TEST(Monitoring, PluginState) {
    const Finding critical{Severity::Critical, "readiness", "x"};
    const Finding warning{Severity::Warning, "table", "y"};
    const struct {
        std::vector<Finding> findings;
        bool inspected;
        int status;
    } cases[] = {
        {{}, true, 0},  {{warning}, true, 1},  {{warning, critical}, true, 2},
        {{}, false, 3}, {{warning}, false, 3}, {{critical}, false, 2},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(::testing::Message() << item.findings.size() << " " << item.inspected);
        Observation seen;
        seen.domain = "d.com";
        seen.documentRead = true;
        seen.findings = item.findings;
        seen.inspected = item.inspected;
        std::ostringstream out;
        EXPECT_EQ(writeNagios(out, seen), item.status);
        const char* const states[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
        EXPECT_EQ(out.str().rfind(std::string("MAIL-RESTORE ") + states[item.status] + " - ", 0),
                  0u);
        EXPECT_NE(out.str().find(" | critical="), std::string::npos);
    }
}

// The textfile replaces the old one whole, readable by the collector, and leaves no
// temporary file behind, also when it cannot be written.
TEST(Monitoring, TextfileIsReplacedWhole) {
    namespace fs = std::filesystem;
    const fs::path directory =
        fs::temp_directory_path() / ("check-textfile-" + std::to_string(::getpid()));
    fs::create_directories(directory);
    const fs::path file = directory / "mail_restore.prom";
    std::ofstream(file) << "old\n";
    Observation seen;
    seen.documentRead = true;
    seen.inspected = true;
    seen.findings = {{Severity::Critical, "readiness", "x"}};
    EXPECT_EQ(writeMetrics(file.string(), seen), "");
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, metricsText(seen));
    EXPECT_NE(
        text.find("mail_restore_check_findings{severity=\"critical\",kind=\"readiness\"} 1\n"),
        std::string::npos);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    EXPECT_NE(writeMetrics((directory / "gone" / "x.prom").string(), seen), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1);
    fs::remove_all(directory);
}

// The server's other traps in the check's trap-* and drift-* scenarios.
TEST(Traps, RejectNamesOnlyTheEntriesStillHeld) {
    Inspection inspection;
    inspection.entries = {{tables::kVirtualTable, "@a.com", EntryCheck::Want::Untouched, {}, "x"},
                          {tables::kVirtualTable, "@d.com", EntryCheck::Want::Untouched, {}, {}}};
    const std::vector<Trap> reject =
        serverTraps(domainWith(NonExistentMailType::Reject, ""), inspection);
    ASSERT_EQ(reject.size(), 1u);
    EXPECT_EQ(reject[0].field, "domain.non_existent.type");
    EXPECT_NE(reject[0].what.find("@a.com"), std::string::npos);
    EXPECT_EQ(reject[0].what.find("@d.com"), std::string::npos); // not held: nothing stays
}

// Texts for reading are quoted as the stand-ins' call log quotes them.
TEST(Report, QuotesArgumentsLikeTheCallLog) {
    EXPECT_EQ(quotedArgument("a b"), "'a b'");
    EXPECT_EQ(quotedArgument("it's \\ \n\t\r\xc3"), "'it\\'s \\\\ \\n\\t\\x0d\\xc3'");
    EXPECT_EQ(quotedArgument(""), "''");
}

// JSON strings stay printable ASCII: every other byte as the code point of its value.
TEST(Report, JsonEscapesEveryByteOutsidePrintableAscii) {
    EXPECT_EQ(json(std::string("a\"\\\n\x7f\xc3\xa9\xc2\x9b~")),
              "\"a\\\"\\\\\\u000a\\u007f\\u00c3\\u00a9\\u00c2\\u009b~\"");
}

// What sh makes of a shell word and of a printf format is exactly the text they stand for.
TEST(Report, ShellWordsGiveTheBytesBack) {
    const std::string texts[] = {"plain",     "",
                                 "it's",      "\\ and %s and %%",
                                 "'\\''",     "caf\xc3\xa9\x01\x7f",
                                 "tab\there", "$(x) `y` \"z\""};
    for (const std::string& text : texts) {
        SCOPED_TRACE(quotedArgument(text));
        const std::string command =
            "printf '%s|' " + shellWord(text) + "; printf '" + printfFormat(text) + "'";
        FILE* shell = ::popen(("/bin/sh -c " + shellWord(command)).c_str(), "r");
        ASSERT_NE(shell, nullptr);
        std::string output;
        for (int c; (c = std::fgetc(shell)) != EOF;)
            output += static_cast<char>(c);
        EXPECT_EQ(::pclose(shell), 0);
        EXPECT_EQ(output, text + "|" + text);
    }
}

// Only the text shows a member given twice and what follows the document.
TEST(Traps, OfTheDocumentText) {
    const struct {
        std::string text;
        std::vector<std::string> fields;
    } cases[] = {
        {R"({"domain":{"name":"a","aliases":["x","x"]},"subscription":{}})", {}},
        {R"({"domain":{"name":"a","name":"b"}})", {"domain.name"}},
        {R"({"domain":{"t":{"k":1,"k":[2]}},"domain":{}})", {"domain.t.k", "domain"}},
        {R"({"a":"x\"y","a\"":1})", {}}, // escaped quotes end no name
        {"{\"a\":1}\n\n", {}},
        {"{\"a\":1} {\"a\":2}", {"(the document itself)"}},
        {std::string("{\"a\":1}\0junk", 12), {}}, // the reader stops at the NUL too
        {R"({"a":[{"b":1,"b":2}]})", {"a[0].b"}},
        {R"({"a":)", {}}, // cut short: the reader refuses it
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.text);
        std::vector<std::string> fields;
        for (const Trap& trap : documentTextTraps(item.text))
            fields.push_back(trap.field);
        EXPECT_EQ(fields, item.fields);
    }
}
