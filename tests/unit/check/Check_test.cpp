// The check's comparison rules and traps, on hand-made plans and models (the scenarios in
// tests/check run it on real tables).
#include "check/Encoding.hpp"
#include "check/Inspect.hpp"
#include "check/Traps.hpp"
#include "postfix/database/Tables.hpp"

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
        {Type::Catchall, "", false, nullptr},             // mail off: no policy is written
        {Type::Bounce, "Gone.\n Really.", true, nullptr}, // line feeds become spaces
        {Type::Bounce, "", true, nullptr},
        {Type::Reject, "\n", true, nullptr},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.argument);
        const std::vector<Trap> traps =
            documentTraps(domainWith(item.type, item.argument, item.enabled));
        ASSERT_EQ(traps.size(), item.field ? 1u : 0u);
        if (item.field) {
            EXPECT_EQ(traps[0].field, item.field);
        }
    }
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

// The plan's quoting is the stand-ins' log format, so a plan compares with a run's log.
TEST(Report, QuotesArgumentsLikeTheCallLog) {
    EXPECT_EQ(quotedArgument("a b"), "'a b'");
    EXPECT_EQ(quotedArgument("it's \\ \n\t\r\xc3"), "'it\\'s \\\\ \\n\\t\\x0d\\xc3'");
    EXPECT_EQ(quotedArgument(""), "''");
}
