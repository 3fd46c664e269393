// Recursive ownership and mode walk, on trees in the sandbox's scratch directory.
#include "files/tree_modes.h"

#include "tests/support/refuse_system_calls.hpp"
#include "tests/support/ForkedChild.hpp"

#include <sys/syscall.h>

namespace {

namespace fs = std::filesystem;
using TreeModes = SandboxTest;

std::string ownerOf(const fs::path& path) {
    struct stat status {};
    lstat(path.c_str(), &status);
    char text[64];
    std::snprintf(text, sizeof text, "%u:%u %o", status.st_uid, status.st_gid,
                  status.st_mode & 07777);
    return text;
}

// As the domain keys are changed: what lies below path, or path itself when a file.
int walk(const fs::path& path) {
    return set_tree_owner_and_modes(path.c_str(), 1234, 5678, 0640, 0755, 0);
}

fs::path scratch(const char* name) {
    return fs::path(std::getenv("SANDBOX_SCRATCH")) / name;
}

// The top left as it is and everything below changed: domain-keys-copied.
TEST_F(TreeModes, FollowsNoSymlinkAndChangesAFileGivenAsTheTop) {
    const fs::path top = scratch("top");
    const fs::path outside = scratch("outside");
    fs::create_directories(top / "a");
    fs::create_directories(outside);
    std::ofstream(outside / "t") << "x";
    fs::create_symlink(outside / "t", top / "file-link");
    fs::create_symlink(outside, top / "a" / "dir-link");
    const std::string outsideBefore = ownerOf(outside) + ownerOf(outside / "t");

    EXPECT_EQ(walk(top), 0);
    EXPECT_EQ(ownerOf(outside) + ownerOf(outside / "t"), outsideBefore);
    walk(outside / "t");
    EXPECT_EQ(ownerOf(outside / "t"), "1234:5678 640");
}

// Every change goes through a descriptor the walk opened: with the calls that change or enter
// an entry by its name refused, the walk still completes.
TEST_F(TreeModes, ChangesEntriesThroughDescriptorsOnly) {
    const fs::path top = scratch("top");
    fs::create_directories(top / "a");
    std::ofstream(top / "a" / "f") << "x";
    ChildOutcome outcome = runInChild([&top] {
        refuseSystemCalls({SYS_chown, SYS_lchown, SYS_fchownat, SYS_chmod, SYS_fchmodat,
                           SYS_chdir, SYS_fchdir});
        return std::to_string(walk(top));
    });
    EXPECT_EQ(outcome.answer + outcome.errors, "0");
    EXPECT_EQ(ownerOf(top / "a"), "1234:5678 755");
    EXPECT_EQ(ownerOf(top / "a" / "f"), "1234:5678 640");
}

TEST_F(TreeModes, MissingPathIsReportedTwiceAndGoesOnAnyOtherFailureEndsTheProcess) {
    ASSERT_EQ(mkfifo(scratch("fifo").c_str(), 0600), 0);
    ChildOutcome missing = runInChild([] { return std::to_string(walk(scratch("missing"))); });
    ChildOutcome fifo = runInChild([] { return std::to_string(walk(scratch("fifo"))); });
    const std::string message = "Directory entry " + scratch("missing").string() +
                                " doesn't exist: No such file or directory\n\n"
                                "System error 2: No such file or directory\n";
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(missing.errors, message + message);
    EXPECT_EQ(fifo.status, 1);
    EXPECT_EQ(fifo.errors, "Unable to open dir " + scratch("fifo").string() +
                               ": Not a directory\n\nSystem error 20: Not a directory\n");
}

} // namespace
