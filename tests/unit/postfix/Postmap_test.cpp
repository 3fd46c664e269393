// Table access through postmap: the diagnostics rule, the real postmap, a failing stand-in,
// the named lock and concurrent writers.
#include "postfix/database/Postmap.hpp"

#include "PostfixTestSupport.hpp"
#include "diagnostics/Errors.hpp"
#include "files/FileLock.hpp"
#include "files/file_lock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>

using namespace corvo::mail::postfix;
using namespace corvo::mail::postfix::database;
using namespace postfix_test;

namespace {

const std::string table = "hash:" + tablesDirectory + "/test";

// "ok", "configuration: <what>" or "database: <what>".
std::string outcome(const std::function<void()>& operation) {
    try {
        operation();
        return "ok";
    } catch (const PostfixConfigurationError& error) {
        return std::string("configuration: ") + error.what();
    } catch (const PostfixDatabaseError& error) {
        return std::string("database: ") + error.what();
    }
}

// Compares texts of megabytes without printing them whole.
void expectSame(const std::string& actual, const std::string& expected) {
    EXPECT_EQ(actual.substr(0, 200), expected.substr(0, 200));
    EXPECT_EQ(actual.size(), expected.size());
    EXPECT_TRUE(actual == expected);
}

class PostmapTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        removeTables();
    }
};

} // namespace

TEST(PostmapOutput, FindsErrorLinesAfterAProgramName) {
    const struct {
        const char* text;
        bool clean;
    } cases[] = {
        {"", true},
        {"postmap: fatal: open database /t.db: No such file or directory\n", false},
        {"postmap: warning: /t, line 1: expected format: key whitespace value\n", true},
        {"fatal: the word first is free text\n", true},
        {"  postmap:    error: spaces around\n", false},
        {"postmap:\tfatal: only blanks are skipped\n", true},
        {"postmap:", true},
        {"postmap: f", true},
        {"postmap: fatal:", false},
        {"postmap: panic: x", false},
        {"postmap: Fatal: case matters", true},
        {"postmap: warning: a\r\npostmap: fatal: b\r\n", false},
        {"postmap: warning: a\n\n\npostmap: error: no line feed at the end", false},
        {"a:b: fatal: the first colon counts\n", true},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.text);
        EXPECT_EQ(postmapOutputIsClean(item.text), item.clean);
    }
}

TEST(PostmapOutput, TablePathDropsTheType) {
    EXPECT_EQ(tablePath("hash:/var/spool/postfix/corvo/virtual"),
              "/var/spool/postfix/corvo/virtual");
    EXPECT_EQ(tablePath("/plain/path"), "/plain/path");
    EXPECT_EQ(tablePath("lmdb:/a:b"), "/a:b");
}

TEST_F(PostmapTest, InsertsReplacesAndDeletesWithTheRealPostmap) {
    const std::string odd = "v \"quoted\"  \\back\\slash 'x' \xc3\xa9";
    addRecords(table, {{"k1", "first"}, {"k2", odd}, {"k1", "second"}});
    EXPECT_EQ(readTable(table), (std::vector<std::string>{"k1\tsecond", "k2\t" + odd}));
    addRecords(table, {{"k2", "replaced"}});
    EXPECT_EQ(readTable(table), (std::vector<std::string>{"k1\tsecond", "k2\treplaced"}));
    removeKeys(table, {"absent", "k1"});
    removeKeys(table, {"absent"}); // postmap exits 1 without a word
    removeKey(table, "absent");
    removeKey(table, "k2");
    EXPECT_EQ(readTable(table), std::vector<std::string>{});
}

TEST_F(PostmapTest, FeedsBytesUnchangedUnderTheLockOfThePath) {
    for (const std::string& name : {table, tablesDirectory + "/plain"}) {
        SCOPED_TRACE(name);
        char* lockFile = lock_file_path(tablePath(name).c_str());
        StandIn standIn({{"POSTMAP_STAND_IN_LOCK", lockFile}});
        free(lockFile);
        addRecords(name, {{"@d", "a b  \"c\" \\x \xc3\xa9 "}, {"k", ""}});
        removeKeys(name, {"a b", "c"});
        removeKey(name, "key");
        EXPECT_EQ(readLog(), "-r -i " + name + "\n@d a b  \"c\" \\x \xc3\xa9 \nk \nlocked\n" +
                                 "-d - " + name + "\na b\nc\nlocked\n" + "-d key " + name +
                                 "\nlocked\n");
    }
}

TEST_F(PostmapTest, JudgesStatusAndDiagnostics) {
    const std::string fatal = "postmap: warning: w\npostmap: fatal: open database x\n";
    const std::string big = "postmap: fatal: x\n" + [] {
        std::string bytes(4 << 20, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>('a' + i % 26);
        return bytes;
    }();
    const struct {
        const char* name;
        std::string exit, signal, text, bytes, insert, remove;
    } cases[] = {
        {"warnings", "1", "", "postmap: warning: w\n", "", "configuration: postmap: warning: w\n",
         "ok"},
        {"fatal line", "1", "", fatal, "", "configuration: " + fatal, "database: " + fatal},
        {"fatal but exit 0", "0", "", fatal, "", "ok", "ok"},
        {"silent failure", "2", "", "", "", "configuration: unknown error", "ok"},
        {"signal", "0", "9", "", "", "configuration: unknown error", "database: "},
        {"signal with warnings", "0", "15", "postmap: warning: w\n", "",
         "configuration: postmap: warning: w\n", "database: postmap: warning: w\n"},
        {"megabytes", "1", "", "postmap: fatal: x\n", std::to_string(4 << 20),
         "configuration: " + big, "database: " + big},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.name);
        StandIn standIn({{"POSTMAP_STAND_IN_EXIT", item.exit},
                         {"POSTMAP_STAND_IN_SIGNAL", item.signal},
                         {"POSTMAP_STAND_IN_STDERR", item.text},
                         {"POSTMAP_STAND_IN_STDERR_BYTES", item.bytes}});
        expectSame(outcome([] { addRecords(table, {{"k", "v"}}); }), item.insert);
        expectSame(outcome([] { removeKeys(table, {"k"}); }), item.remove);
        expectSame(outcome([] { removeKey(table, "k"); }), item.remove);
    }
}

TEST_F(PostmapTest, EmptyBatchesNeedNoLockAndNoPostmap) {
    StandIn standIn;
    ASSERT_EQ(mount("none", "/run/lock", "tmpfs", 0, nullptr), 0); // hides /run/lock/files
    addRecords(table, {});
    removeKeys(table, {});
    EXPECT_THROW(addRecords(table, {{"k", "v"}}), corvo::ExSystemError<2>);
    try {
        removeKey(table, "k");
        ADD_FAILURE() << "no exception";
    } catch (const corvo::ExSystemError<2>& error) {
        EXPECT_EQ(std::string(error.what()).rfind("lock() failed", 0), 0u) << error.what();
    }
    umount2("/run/lock", 0);
    EXPECT_EQ(readLog(), "");
}

TEST_F(PostmapTest, ReleasesTheLockWhenPostmapFails) {
    {
        StandIn standIn({{"POSTMAP_STAND_IN_EXIT", "1"}});
        EXPECT_THROW(addRecords(table, {{"k", "v"}}), PostfixConfigurationError);
    }
    const pid_t child = fork();
    if (child == 0) {
        alarm(10); // a lock left behind would make this child wait and die
        corvo::FileLock lock(tablePath(table));
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
}

// Eight writers at once, each inserting 500 keys in 50 runs and deleting 50 keys that were
// there before: the named lock must keep postmap from losing any of them.
TEST_F(PostmapTest, ConcurrentWritersLoseNothing) {
    constexpr int writers = 8, runs = 50, perRun = 10, removedPerWriter = 50;
    std::vector<Record> old;
    for (int i = 0; i < writers * removedPerWriter; ++i)
        old.emplace_back("old" + std::to_string(i), "x");
    addRecords(table, old);
    std::vector<pid_t> children;
    for (int writer = 0; writer < writers; ++writer) {
        const pid_t child = fork();
        if (child == 0) {
            try {
                for (int run = 0; run < runs; ++run) {
                    std::vector<Record> records;
                    for (int i = 0; i < perRun; ++i)
                        records.emplace_back("w" + std::to_string(writer) + "k" +
                                                 std::to_string(run * perRun + i),
                                             "value " + std::to_string(i));
                    addRecords(table, records);
                    if (run % 10 == 0) {
                        std::vector<std::string> keys;
                        for (int i = 0; i < removedPerWriter / 5; ++i)
                            keys.push_back(old[static_cast<std::size_t>(writer * removedPerWriter +
                                                                        run / 10 * 10 + i)]
                                               .first);
                        removeKeys(table, keys);
                    }
                }
            } catch (...) {
                _exit(1);
            }
            _exit(0);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_EQ(status, 0);
    }
    std::set<std::string> expected;
    for (int writer = 0; writer < writers; ++writer)
        for (int key = 0; key < runs * perRun; ++key)
            expected.insert("w" + std::to_string(writer) + "k" + std::to_string(key) + "\tvalue " +
                            std::to_string(key % perRun));
    const std::vector<std::string> entries = readTable(table);
    EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()), expected);
    EXPECT_EQ(entries.size(), 4000u);
}
