// Named file locks: lock file naming and place, contention, an unsafe lock directory.
#include "files/FileLock.hpp"

#include <future>

#include "diagnostics/Errors.hpp"
#include "files/file_lock.h"
#include "tests/support/ForkedChild.hpp"

namespace {

using FileLock = SandboxTest;

// Every case locks this name, so the lock directory never holds another file.
const std::string kVirtualTable = "/var/spool/postfix/corvo/virtual";
const std::string kVirtualLockFile = "/run/lock/files/959f4d5e8bb9bf92f31efba5c21bd327";

TEST_F(FileLock, LeavesAnEmptyLockFileNamedByMd5InTheLockDirectory) {
    std::ofstream(kVirtualLockFile) << "left over";
    { corvo::FileLock lock(kVirtualTable); }
    EXPECT_EQ(std::filesystem::file_size(kVirtualLockFile), 0u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/run/lock/files"), {}), 1);
}

TEST_F(FileLock, SecondProcessWaitsUntilTheFirstReleases) {
    file_lock* held = file_lock_exclusive(kVirtualTable.c_str(), 1);
    ASSERT_NE(held, nullptr);
    EXPECT_NE(fcntl(held->fd, F_GETFD) & FD_CLOEXEC, 0) << "children would keep the lock";
    auto second = std::async(std::launch::async, [fd = held->fd] {
        return runInChild([fd] {
            close(fd); // inherited: it would hold the first lock for as long as this process
            corvo::FileLock lock(kVirtualTable);
            return std::string("locked");
        });
    });
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout)
        << "the second process got the lock while it was held";
    EXPECT_EQ(file_lock_release(held), 0);
    EXPECT_EQ(second.get().answer, "locked");
}

// Refused before anything is opened in it (missing, other owner: lock-directory-* scenarios).
TEST_F(FileLock, RefusesAnUnsafeLockDirectory) {
    const std::string refused = "Lock directory \"/run/lock/files\" refused: ";
    const std::string eperm = "\nSystem error 1: Operation not permitted\n";
    const struct {
        const char* name;
        std::function<void()> prepare; // on a fresh tmpfs over /run/lock
        std::string answer;
        std::string errors;
    } cases[] = {
        {"symbolic link",
         [] {
             mkdir("/run/lock/real", 0755);
             ASSERT_EQ(symlink("real", "/run/lock/files"), 0);
         },
         "40: lock() failed: Too many levels of symbolic links",
         refused + "it is a symbolic link.\nSystem error 40: Too many levels of symbolic links\n"},
        {"regular file", [] { std::ofstream("/run/lock/files"); },
         "20: lock() failed: Not a directory",
         refused + "it is not a directory.\nSystem error 20: Not a directory\n"},
        {"group-writable",
         [] {
             mkdir("/run/lock/files", 0755);
             chmod("/run/lock/files", 0775);
         },
         "1: lock() failed: Operation not permitted",
         refused + "it is writable by its group or by others (mode 0775)." + eperm},
        {"lock file is a link",
         [] {
             mkdir("/run/lock/files", 0755);
             mkdir("/run/lock/real", 0755);
             ASSERT_EQ(symlink("/run/lock/real/target", kVirtualLockFile.c_str()), 0);
         },
         "40: lock() failed: Too many levels of symbolic links",
         "Unable to open file \"" + kVirtualLockFile +
             "\": Too many levels of symbolic links.\nSystem error 40: Too many levels of "
             "symbolic links\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChildOutcome outcome = runInChild([&c] {
            mountPrivately("empty", "/run/lock", "tmpfs", 0);
            c.prepare();
            try {
                corvo::FileLock lock(kVirtualTable);
            } catch (const corvo::SystemError& e) {
                const bool nothingOpened = !std::filesystem::exists("/run/lock/real") ||
                                           std::filesystem::is_empty("/run/lock/real");
                return std::to_string(e.error()) + ": " + e.what() +
                       (nothingOpened ? "" : " (a lock file was created)");
            }
            return std::string("locked");
        });
        EXPECT_EQ(outcome.answer, c.answer);
        EXPECT_EQ(outcome.errors, c.errors);
    }
}

// The reader's shared lock: silent without a lock directory or file, refused like the
// exclusive one in an unsafe directory, and it creates nothing.
TEST_F(FileLock, SharedLockCreatesNothingAndRefusesAnUnsafeDirectory) {
    ChildOutcome outcome = runInChild([] {
        mountPrivately("empty", "/run/lock", "tmpfs", 0);
        std::string answer = corvo::SharedFileLock(kVirtualTable).held() ? "held " : "absent ";
        mkdir("/run/lock/files", 0755);
        chmod("/run/lock/files", 0775);
        try {
            corvo::SharedFileLock lock(kVirtualTable);
        } catch (const corvo::SystemError& e) {
            answer += e.what();
        }
        return answer + (std::filesystem::is_empty("/run/lock/files") ? "" : " (created)");
    });
    EXPECT_EQ(outcome.answer, "absent lock() failed: Operation not permitted");
    EXPECT_EQ(outcome.errors, "Lock directory \"/run/lock/files\" refused: it is writable by its "
                              "group or by others (mode 0775).\nSystem error 1: Operation not "
                              "permitted\n");
}

} // namespace
