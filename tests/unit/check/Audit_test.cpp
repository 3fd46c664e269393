// The audit's pieces that the scenarios in tests/check reach only in part: the cut of a
// stream, the shell words of the removal lines, the names of keys, and the accounts that
// decide orphans and conflicts, on hand-made dumps.
#include "check/Audit.hpp"
#include "check/AuditReport.hpp"
#include "check/Encoding.hpp"
#include "driver/Document.hpp"
#include "postfix/database/Tables.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

using namespace corvo;
using namespace corvo::check;
namespace tables = corvo::mail::postfix::database;

namespace {

// A dump as "postmap -s" gives it: "key<TAB>value" lines.
tables::TableDump dumpOf(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string text;
    for (const auto& [key, value] : entries)
        text += key + '\t' + value + '\n';
    return tables::TableDump(std::move(text));
}

DomainInfo domainNamed(const std::string& name, std::vector<std::string> aliases,
                       const std::string& target) {
    DomainInfo domain{};
    domain.name = name;
    domain.aliases = std::move(aliases);
    domain.non_existent_type = NonExistentMailType::Catchall;
    domain.non_existent_arg = target;
    domain.enabled = true;
    return domain;
}

std::vector<std::pair<std::size_t, std::string>> cut(const std::string& bytes) {
    std::vector<std::pair<std::size_t, std::string>> pieces;
    for (const DocumentStream::Piece& piece : DocumentStream::split(bytes))
        pieces.emplace_back(piece.offset, piece.bytes);
    return pieces;
}

} // namespace

TEST(DocumentStream, CutsAtTheMatchingCloseOrTheNextWhiteSpace) {
    using Pieces = std::vector<std::pair<std::size_t, std::string>>;
    const struct {
        std::string bytes;
        Pieces pieces;
    } cases[] = {
        {" {\"a\":[1]}\n\t[2] x\vy ", {{1, "{\"a\":[1]}"}, {12, "[2]"}, {16, "x"}, {18, "y"}}},
        {"{\"}\\\"{\"}{}", {{0, "{\"}\\\"{\"}"}, {8, "{}"}}}, // a close and a quote in a string
        {"{]}", {{0, "{]"}, {2, "}"}}},                       // the reader refuses the rest
        {"x{\"a\" }", {{0, "x{\"a\""}, {6, "}"}}},            // a bare word ends at white space
        {"{\"open\": [1,\n 2", {{0, "{\"open\": [1,\n 2"}}},  // to the end of the stream
        {" \r\n", {}},
        {std::string("{\"a\0\"} {}", 9), {{0, std::string("{\"a\0\"}", 6)}, {7, "{}"}}},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.bytes);
        EXPECT_EQ(cut(item.bytes), item.pieces);
    }
}

// Read from a pipe in chunks, a stream cuts as the same bytes held whole do, also where a
// document, a string or an escape straddles a chunk's end.
TEST(DocumentStream, ReadInChunksCutsAsHeldWhole) {
    std::string bytes;
    for (int i = 0; i < 3000; ++i)
        bytes += "{\"n\": \"" + std::string(static_cast<std::size_t>(i % 97), '\\') +
                 std::string(i % 2 ? "\\\"" : "") + "}\"} \n" + (i % 5 ? "" : "word ");
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::thread writer([&] {
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t count =
                ::write(ends[1], bytes.data() + at, std::min<std::size_t>(bytes.size() - at, 4093));
            ASSERT_GT(count, 0);
            at += static_cast<std::size_t>(count);
        }
        ::close(ends[1]);
    });
    DocumentStream stream(ends[0]);
    std::vector<DocumentStream::Piece> read;
    for (DocumentStream::Piece piece; stream.next(piece);)
        read.push_back(piece);
    writer.join();
    ::close(ends[0]);
    const std::vector<DocumentStream::Piece> whole = DocumentStream::split(bytes);
    ASSERT_EQ(read.size(), whole.size());
    for (std::size_t i = 0; i < whole.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(read[i].bytes, whole[i].bytes);
        EXPECT_EQ(read[i].offset, whole[i].offset);
        EXPECT_EQ(read[i].number, i + 1);
    }
}

// Every removal line must give postmap the very key: the shell of cron reads each word back.
TEST(ShellWord, ReadsBackAsTheText) {
    for (const std::string text :
         {"@example.com", "it's", "''", "a b\t$HOME `x` \\ \"q\"", "\x01\x7f\xc3\xa9\n\x1f", ""}) {
        SCOPED_TRACE(text);
        FILE* shell = ::popen(("printf %s " + shellWord(text)).c_str(), "r"); // by /bin/sh
        ASSERT_NE(shell, nullptr);
        std::string back;
        for (int c; (c = std::fgetc(shell)) != EOF;)
            back.push_back(static_cast<char>(c));
        EXPECT_EQ(::pclose(shell), 0);
        EXPECT_EQ(back, text);
    }
    EXPECT_EQ(shellWord("a.com"), "'a.com'");
}

TEST(NameOfKey, EachEntryForm) {
    const struct {
        const std::string& table;
        std::string key, name;
    } cases[] = {
        {tables::kVirtualDomainsTable, "d.com", "d.com"},
        {tables::kVirtualTable, "@d.com", "d.com"},
        {tables::kVirtualTable, "post@master@d.com", "d.com"},
        {tables::kVirtualTable, "local", ""},
        {tables::kAliasesTable, "_corvo_bounce_d.com", "d.com"},
        {tables::kAliasesTable, "root", ""},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.key);
        EXPECT_EQ(nameOfKey(item.table, item.key), item.name);
    }
}

// What a document names or a run of it writes is no orphan; everything else is, each with
// a line that removes it.
TEST(Accounts, OrphansAreWhatNoDocumentAccountsFor) {
    TableDumps dumps;
    dumps.virtualDomains =
        dumpOf({{"d.com", "d.com/"}, {"a.com", "a.com/"}, {"old.com", "old.com/"}});
    dumps.virtualTable = dumpOf({{"@d.com", "x@d.com"},
                                 {"info@a.com", "box"}, // written by the panel for an alias
                                 {"@gone.com", "x@gone.com"},
                                 {"local", "y"}});
    dumps.aliases = dumpOf({{"_corvo_bounce_old.com", "\"|bounce\""}});
    Accounts accounts(dumps);
    const DomainInfo domain = domainNamed("d.com", {"a.com"}, "x@d.com");
    accounts.add("d.json", domain);
    std::vector<Claim> claims;
    inspectAgainst({}, domain, dumps, {0, 0}, &claims);
    for (const Claim& claim : claims)
        accounts.claim(claim);

    std::vector<std::string> found;
    for (const Orphan& orphan : accounts.tableOrphans())
        found.push_back(orphan.command);
    EXPECT_EQ(found, (std::vector<std::string>{
                         "postmap -d 'old.com' " + tables::kVirtualDomainsTable,
                         "postmap -d '@gone.com' " + tables::kVirtualTable,
                         "postmap -d 'local' " + tables::kVirtualTable,
                         "postmap -d '_corvo_bounce_old.com' " + tables::kAliasesTable,
                     }));
    // gone.com is no virtual domain: Postfix does not consult its entry, until it is listed.
    EXPECT_NE(accounts.tableOrphans()[1].effect.find("does not consult"), std::string::npos);
}

TEST(Accounts, ConflictsNameTheDocumentsInvolved) {
    TableDumps dumps;
    Accounts accounts(dumps);
    const std::vector<std::pair<std::string, DomainInfo>> documents{
        {"1", domainNamed("d.com", {"a.com", "b.com"}, "x@d.com")},
        {"2", domainNamed("a.com", {}, "x@d.com")},           // d.com's alias; same target
        {"3", domainNamed("e.com", {"b.com", "e.com"}, "y")}, // b.com twice; its own name
        {"4", domainNamed("f.com", {"g.com", "g.com"}, "z")}, // one document, twice: no conflict
    };
    for (const auto& [source, domain] : documents)
        accounts.add(source, domain);

    std::vector<std::string> found;
    for (const Conflict& conflict : accounts.conflicts()) {
        std::string line = std::string(conflictWords(conflict.kind).name) + " " + conflict.name +
                           (conflict.key.empty() ? "" : " " + conflict.key) + ":";
        for (const Conflict::Party& party : conflict.parties)
            line += " " + party.source + "=" + party.role;
        found.push_back(line);
    }
    EXPECT_EQ(found, (std::vector<std::string>{
                         "domain-and-alias a.com: 2=domain 1=alias",
                         "alias-twice b.com: 1=alias 3=alias",
                         "different-values b.com @b.com: 1=x@d.com 3=y",
                     }));
}

// The names are kept in the order of their hashes; the report still lists conflicts in name
// order, and every name is found wherever its hash put it.
TEST(Accounts, ConflictsComeInNameOrderAndEveryNameIsFound) {
    TableDumps dumps;
    Accounts accounts(dumps);
    std::vector<std::string> names;
    for (char letter = 'z'; letter >= 'a'; --letter)
        names.push_back(std::string(1, letter) + ".com");
    accounts.add("1", domainNamed("one.com", names, "x"));
    accounts.add("2", domainNamed("two.com", names, "x"));

    std::vector<std::string> found;
    for (const Conflict& conflict : accounts.conflicts())
        found.push_back(std::string(conflictWords(conflict.kind).name) + " " + conflict.name);
    std::vector<std::string> expected;
    for (char letter = 'a'; letter <= 'z'; ++letter)
        expected.push_back("alias-twice " + std::string(1, letter) + ".com");
    EXPECT_EQ(found, expected);
    for (const std::string& name : names)
        EXPECT_TRUE(accounts.named(name)) << name;
    for (const char* name : {"one.com", "two.com"})
        EXPECT_TRUE(accounts.named(name)) << name;
    EXPECT_FALSE(accounts.named("three.com"));
}
