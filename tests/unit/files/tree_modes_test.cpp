// Recursive ownership and mode walk. Trees are built in the sandbox's scratch directory;
// the fatal and "doesn't exist" paths run in forked children.
#include "files/tree_modes.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/unit/files/ForkedChild.hpp"

namespace {

namespace fs = std::filesystem;

const uid_t newUid = 1234;
const gid_t newGid = 5678;

struct Ownership {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    bool operator==(const Ownership&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Ownership& o) {
    return out << o.uid << ":" << o.gid << " " << std::oct << o.mode << std::dec;
}

Ownership ownershipOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return {status.st_uid, status.st_gid, status.st_mode & 07777};
}

class TreeModes : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("SANDBOX_SCRATCH") == nullptr) {
            GTEST_SKIP() << "changes owners: runs only inside tests/sandbox";
        }
        base_ = fs::path(std::getenv("SANDBOX_SCRATCH")) / "tree-test";
        fs::create_directories(base_);
    }
    void TearDown() override { fs::remove_all(base_); }

    void makeFile(const fs::path& path, mode_t mode) {
        std::ofstream(path) << "x";
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }

    fs::path base_;
};

TEST_F(TreeModes, ChangesEverythingBelowTheTopAndTheTopOnlyWhenAsked) {
    for (int includeTop : {0, 1}) {
        SCOPED_TRACE(includeTop);
        const fs::path top = base_ / "top";
        const fs::path outside = base_ / "outside";
        fs::create_directories(top / "a" / "b");
        fs::create_directories(outside);
        makeFile(top / "g", 0600);
        makeFile(top / "a" / "b" / "f", 0600);
        makeFile(outside / "target", 0600);
        for (const fs::path& dir : {top, top / "a", top / "a" / "b"}) {
            ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
        }
        fs::create_symlink(outside / "target", top / "file-link");
        fs::create_symlink(outside, top / "a" / "dir-link");
        const Ownership untouchedDir{0, 0, 0700};
        const Ownership untouchedFile{0, 0, 0600};
        const std::string cwd = fs::current_path();

        EXPECT_EQ(set_tree_owner_and_modes(top.c_str(), newUid, newGid, 0640, 0755, includeTop), 0);

        EXPECT_EQ(fs::current_path(), cwd);
        EXPECT_EQ(ownershipOf(top), (includeTop ? Ownership{newUid, newGid, 0755} : untouchedDir));
        EXPECT_EQ(ownershipOf(top / "a"), (Ownership{newUid, newGid, 0755}));
        EXPECT_EQ(ownershipOf(top / "a" / "b"), (Ownership{newUid, newGid, 0755}));
        EXPECT_EQ(ownershipOf(top / "a" / "b" / "f"), (Ownership{newUid, newGid, 0640}));
        EXPECT_EQ(ownershipOf(top / "g"), (Ownership{newUid, newGid, 0640}));
        EXPECT_EQ(ownershipOf(top / "file-link").uid, 0u);
        EXPECT_EQ(ownershipOf(outside / "target"), untouchedFile);
        EXPECT_EQ(ownershipOf(outside).uid, 0u);
        fs::remove_all(top);
        fs::remove_all(outside);
    }
}

TEST_F(TreeModes, RegularFilePathIsChangedEvenWithoutTop) {
    makeFile(base_ / "key", 0600);
    set_tree_owner_and_modes((base_ / "key").c_str(), newUid, newGid, 0640, 0755, 0);
    EXPECT_EQ(ownershipOf(base_ / "key"), (Ownership{newUid, newGid, 0640}));
}

TEST_F(TreeModes, MissingPathIsReportedByBothWalksAndTheProcessGoesOn) {
    const std::string missing = (base_ / "missing").string();
    ChildOutcome outcome = runInChild([&] {
        set_tree_owner_and_modes(missing.c_str(), newUid, newGid, 0640, 0755, 0);
        return std::string("continued");
    });
    EXPECT_TRUE(exitedWith(outcome, 0));
    EXPECT_EQ(outcome.answer, "continued");
    const std::string message =
        "Directory entry " + missing + " doesn't exist: No such file or directory\n";
    std::size_t first = outcome.errors.find(message);
    ASSERT_NE(first, std::string::npos) << outcome.errors;
    std::size_t second = outcome.errors.find(message, first + 1);
    ASSERT_NE(second, std::string::npos) << outcome.errors;
    EXPECT_EQ(outcome.errors.find(message, second + 1), std::string::npos);
}

TEST_F(TreeModes, FailuresEndTheProcessWithStatusOne) {
    const fs::path fifo = base_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ChildOutcome outcome = runInChild([&] {
        set_tree_owner_and_modes(fifo.c_str(), newUid, newGid, 0640, 0755, 0);
        return std::string("continued");
    });
    EXPECT_TRUE(exitedWith(outcome, 1)) << outcome.status;
    EXPECT_EQ(
        outcome.errors.rfind("Unable to open dir " + fifo.string() + ": Not a directory\n", 0), 0u)
        << outcome.errors;

    // A file inside a read-only tree: the ownership change is refused.
    const fs::path readOnly = base_ / "ro";
    fs::create_directories(readOnly);
    outcome = runInChild([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("ro", readOnly.c_str(), "tmpfs", 0, nullptr) != 0) {
            return std::string("no private mount: ") + std::strerror(errno);
        }
        std::ofstream((readOnly / "file").string()) << "x";
        if (mount(nullptr, readOnly.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            return std::string("no read-only remount: ") + std::strerror(errno);
        }
        set_tree_owner_and_modes(readOnly.c_str(), newUid, newGid, 0640, 0755, 0);
        return std::string("continued");
    });
    EXPECT_TRUE(exitedWith(outcome, 1)) << outcome.answer;
    EXPECT_EQ(
        outcome.errors.rfind("Unable to chown directory entry file: Read-only file system\n", 0),
        0u)
        << outcome.errors;
}

} // namespace
