// Table access through postmap; the scenarios run the real one for every insertion, deletion
// and lookup, eight runs at once among them. PostmapTest needs tests/sandbox.
#include "postfix/database/Postmap.hpp"

#include "diagnostics/Errors.hpp"
#include "files/file_lock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <utility>

using namespace corvo::mail::postfix;
using namespace corvo::mail::postfix::database;

namespace {

const std::string kPath = "/var/spool/postfix/corvo/test", kTable = "hash:" + kPath;

std::string scratch(const std::string& name) {
    return std::getenv("SANDBOX_SCRATCH") + ("/" + name);
}

// "ok", or the kind of the exception and its text.
std::string outcome(const std::function<void()>& operation) {
    try {
        operation();
        return "ok";
    } catch (const PostfixConfigurationError& error) {
        return std::string("configuration: ") + error.what();
    } catch (const PostfixDatabaseError& error) {
        return std::string("database: ") + error.what();
    } catch (const std::exception& error) {
        return error.what();
    }
}

bool lockIsFree() {
    file_lock* lock = file_lock_open(kPath.c_str(), O_RDWR, LOCK_EX | LOCK_NB, 1);
    const bool isFree = lock->fd > 0;
    return file_lock_release(lock) == 0 && isFree;
}

class PostmapTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("SANDBOX_SCRATCH") == nullptr)
            GTEST_FAIL() << "runs only inside tests/sandbox";
        for (const auto& entry : std::filesystem::directory_iterator("/var/spool/postfix/corvo"))
            std::filesystem::remove_all(entry.path());
    }
    void TearDown() override {
        if (std::exchange(mounted_, false))
            umount2("/usr/sbin/postmap", 0);
    }
    // The stand-in over postmap, with these POSTMAP_STAND_IN_ variables, until the next call.
    void standIn(std::map<std::string, std::string> variables = {}) {
        TearDown();
        std::filesystem::remove(variables["LOG"] = scratch("log"));
        for (const char* name : {"STDERR", "STDERR_BYTES", "LOCK", "LOG", "SIGNAL", "EXIT"})
            setenv(("POSTMAP_STAND_IN_" + std::string(name)).c_str(), variables[name].c_str(), 1);
        mounted_ = mount(CORVO_HELPERS_DIR "/postmap_stand_in", "/usr/sbin/postmap", nullptr,
                         MS_BIND, nullptr) == 0;
        ASSERT_TRUE(mounted_);
    }
    bool mounted_ = false;
};

} // namespace

TEST(PostmapOutput, FindsErrorLinesAfterAProgramName) {
    const std::pair<const char*, bool> cases[] = {
        {"fatal: the word first is free text\n", true},
        {"  postmap:    error: spaces around\n", false},
        {"postmap:", true},
        {"postmap: panic: x", false},
        {"postmap: warning: a\r\npostmap: fatal: b\r\n", false},
        {"postmap: warning: a\n\n\npostmap: error: no line feed at the end", false},
        {"a:b: fatal: the first colon counts\n", true},
    };
    for (const auto& [text, clean] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(postmapOutputIsClean(text), clean);
    }
}

// The bytes and lock of the runs are shown by the plan-equals-run-* and concurrent-runs cases.
// What a dump's index finds: every key as its first line gives it, whatever the table's
// size, and nothing else; walking the ids gives each entry once.
TEST(TableDump, FindsEachKeyOnceAndNoOther) {
    std::string text = "\tempty key\nbare\n\nblank \tvalue with\ttab\ndup\tfirst\ndup\tsecond\n";
    for (int i = 0; i < 5000; ++i)
        text += "k" + std::to_string(i) + "\tv" + std::to_string(i) + "\n";
    text += "last\tno line feed";
    const TableDump dump(text);
    const std::vector<std::pair<std::string, std::string>> found{
        {"", "empty key"}, {"bare", ""},    {"blank ", "value with\ttab"}, {"dup", "first"},
        {"k0", "v0"},      {"k4999", "v4999"}, {"last", "no line feed"}};
    for (const auto& [key, value] : found) {
        const auto entry = dump.find(key);
        ASSERT_TRUE(entry) << key;
        EXPECT_EQ(entry->key, key);
        EXPECT_EQ(entry->value, value) << key;
    }
    for (const std::string absent : {"k5000", "k", "k1 ", "v1", "bar", "dup\tfirst", "blank"})
        EXPECT_FALSE(dump.find(absent)) << absent;
    std::multiset<std::string> walked;
    for (std::size_t id = 0; id < dump.idCount(); ++id)
        if (const auto entry = dump.at(id)) {
            EXPECT_EQ(entry->id, id);
            walked.insert(std::string(entry->key));
        }
    EXPECT_EQ(walked.size(), 5005u);
    EXPECT_EQ(dump.size(), 5005u);
    EXPECT_EQ(walked.count("dup"), 1u);
    EXPECT_FALSE(TableDump().exists());
    EXPECT_FALSE(TableDump().find(""));
    EXPECT_TRUE(TableDump(std::string()).exists());
}

TEST_F(PostmapTest, RunsNothingForAnEmptyBatch) {
    standIn();
    ASSERT_EQ(mount("none", "/run/lock", "tmpfs", 0, nullptr), 0); // hides /run/lock/files
    applyChange({TableChange::Kind::Insert, kTable, {}, {}});
    applyChange({TableChange::Kind::Delete, kTable, {}, {}});
    umount2("/run/lock", 0);
    EXPECT_FALSE(std::filesystem::exists(scratch("log")));
}

TEST_F(PostmapTest, JudgesStatusAndDiagnosticsAndReleasesTheLock) {
    const std::string fatal = "postmap: warning: w\npostmap: fatal: open database x\n";
    std::string big = "postmap: fatal: x\n";
    for (std::size_t i = 0; i < 4 << 20; ++i)
        big += static_cast<char>('a' + i % 26);
    const struct {
        std::string end, number, text, bytes, insert, remove;
    } cases[] = {
        {"EXIT", "1", "postmap: warning: w\n", "", "configuration: postmap: warning: w\n", "ok"},
        {"EXIT", "1", fatal, "", "configuration: " + fatal, "database: " + fatal},
        {"EXIT", "2", "", "", "configuration: unknown error", "ok"},
        {"SIGNAL", "9", "", "", "configuration: unknown error", "database: "},
        {"EXIT", "1", "postmap: fatal: x\n", std::to_string(4 << 20), "configuration: " + big,
         "database: " + big},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.end + " " + item.number + " " + item.text);
        standIn({{item.end, item.number}, {"STDERR", item.text}, {"STDERR_BYTES", item.bytes}});
        const std::string inserted = outcome([] {
            applyChange({TableChange::Kind::Insert, kTable, {{"k", "v"}}, {}});
        });
        EXPECT_TRUE(inserted == item.insert) << inserted.size() << ": " << inserted.substr(0, 99);
        ASSERT_TRUE(lockIsFree()); // a lock left taken would block the next operation
        const std::string removed = outcome([] {
            applyChange({TableChange::Kind::Delete, kTable, {}, {"k"}});
        });
        EXPECT_TRUE(removed == item.remove) << removed.size() << ": " << removed.substr(0, 99);
        ASSERT_TRUE(lockIsFree());
    }
}
