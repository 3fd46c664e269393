// Named file locks: lock file naming and place, contention, a missing lock directory.
#include "files/FileLock.hpp"

#include <future>

#include "diagnostics/Errors.hpp"
#include "files/file_lock.h"
#include "tests/unit/files/ForkedChild.hpp"

namespace {

using FileLock = SandboxTest;

// Every case locks this name, so the lock directory never holds another file.
const std::string virtualTable = "/var/spool/postfix/corvo/virtual";
const std::string virtualLockFile = "/run/lock/files/959f4d5e8bb9bf92f31efba5c21bd327";

TEST_F(FileLock, LeavesAnEmptyLockFileNamedByMd5InTheLockDirectory) {
    std::ofstream(virtualLockFile) << "left over";
    { corvo::FileLock lock(virtualTable); }
    EXPECT_EQ(std::filesystem::file_size(virtualLockFile), 0u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/run/lock/files"), {}), 1);
}

TEST_F(FileLock, SecondProcessWaitsUntilTheFirstReleases) {
    file_lock* held = file_lock_exclusive(virtualTable.c_str(), 1);
    ASSERT_NE(held, nullptr);
    EXPECT_NE(fcntl(held->fd, F_GETFD) & FD_CLOEXEC, 0) << "children would keep the lock";
    auto second = std::async(std::launch::async, [fd = held->fd] {
        return runInChild([fd] {
            close(fd); // inherited: it would hold the first lock for as long as this process
            corvo::FileLock lock(virtualTable);
            return std::string("locked");
        });
    });
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout)
        << "the second process got the lock while it was held";
    EXPECT_EQ(file_lock_release(held), 0);
    EXPECT_EQ(second.get().answer, "locked");
}

TEST_F(FileLock, MissingLockDirectoryRaisesENOENT) {
    ChildOutcome outcome = runInChild([] {
        mountPrivately("empty", "/run/lock", "tmpfs", 0);
        try {
            corvo::FileLock lock(virtualTable);
        } catch (const corvo::ExSystemError<2>& e) {
            return std::string("ExSystemError<2>: ") + e.what();
        }
        return std::string("locked");
    });
    EXPECT_EQ(outcome.answer, "ExSystemError<2>: lock() failed: No such file or directory");
    EXPECT_EQ(outcome.errors,
              "Unable to open file \"" + virtualLockFile +
                  "\": No such file or directory.\nSystem error 2: No such file or directory\n");
}

} // namespace
