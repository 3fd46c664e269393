// Named file locks: lock file naming and place, contention between processes, a missing
// lock directory, descriptors kept from children. Runs only inside tests/sandbox, whose
// /run/lock/files is private.
#include "files/FileLock.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "diagnostics/Errors.hpp"
#include "files/file_lock.h"
#include "tests/unit/files/ForkedChild.hpp"

namespace {

namespace fs = std::filesystem;

const std::string virtualTable = "/var/spool/postfix/corvo/virtual";
const std::string virtualLockFile = "/run/lock/files/959f4d5e8bb9bf92f31efba5c21bd327";

class FileLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("SANDBOX_SCRATCH") == nullptr) {
            GTEST_SKIP() << "locks under /run/lock/files: runs only inside tests/sandbox";
        }
    }
};

TEST_F(FileLockTest, LockFileIsNamedByMd5OfTheName) {
    struct Case {
        const char* name;
        const char* path;
    } cases[] = {
        {"", "/run/lock/files/d41d8cd98f00b204e9800998ecf8427e"},
        {"/var/spool/postfix/corvo/virtual", "/run/lock/files/959f4d5e8bb9bf92f31efba5c21bd327"},
        {"hash:/var/spool/postfix/corvo/virtual",
         "/run/lock/files/f05a125eaf60a9c2085b24e70225b70c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char* path = lock_file_path(c.name);
        EXPECT_STREQ(path, c.path);
        std::free(path);
    }
}

TEST_F(FileLockTest, LeavesAnEmptyLockFileDirectlyInTheLockDirectory) {
    std::ofstream(virtualLockFile) << "left over";
    {
        corvo::FileLock lock(virtualTable);
        EXPECT_EQ(fs::file_size(virtualLockFile), 0u);
    }
    ASSERT_TRUE(fs::is_regular_file(virtualLockFile));
    EXPECT_EQ(fs::file_size(virtualLockFile), 0u);
    for (const auto& entry : fs::recursive_directory_iterator("/run/lock/files")) {
        std::string name = entry.path().filename();
        EXPECT_EQ(entry.path().parent_path(), "/run/lock/files");
        EXPECT_EQ(name.size(), 32u);
        EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), std::string::npos) << name;
    }
}

TEST_F(FileLockTest, SecondProcessWaitsUntilTheFirstReleases) {
    int events[2];
    int release[2];
    ASSERT_EQ(pipe(events), 0);
    ASSERT_EQ(pipe(release), 0);
    auto readEvents = [&](std::size_t count, int timeoutMs) {
        std::string seen;
        pollfd fd = {events[0], POLLIN, 0};
        while (seen.size() < count && poll(&fd, 1, timeoutMs) == 1) {
            char c;
            if (read(events[0], &c, 1) != 1) {
                break;
            }
            seen += c;
        }
        return seen;
    };
    // The first holder announces 'L' when it holds the lock and 'R' just before releasing;
    // the second announces 'B' once it holds the lock, which must come after 'R'.
    auto holder = [&](bool first) {
        pid_t pid = fork();
        if (pid == 0) {
            try {
                corvo::FileLock lock(virtualTable);
                char c = first ? 'L' : 'B';
                ssize_t ignored = write(events[1], &c, 1);
                if (first) {
                    ignored = read(release[0], &c, 1);
                    c = 'R';
                    ignored = write(events[1], &c, 1);
                }
                (void)ignored;
            } catch (...) {
                _exit(9);
            }
            _exit(0);
        }
        return pid;
    };
    pid_t first = holder(true);
    ASSERT_EQ(readEvents(1, 10000), "L");
    pid_t second = holder(false);
    EXPECT_EQ(readEvents(1, 500), "") << "the second process got the lock while it was held";
    ASSERT_EQ(write(release[1], "x", 1), 1);
    EXPECT_EQ(readEvents(2, 10000), "RB");
    for (pid_t pid : {first, second}) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    for (int fd : {events[0], events[1], release[0], release[1]}) {
        close(fd);
    }
}

TEST_F(FileLockTest, MissingLockDirectoryRaisesENOENT) {
    ChildOutcome outcome = runInChild([] {
        // A private mount namespace with an empty /run/lock: no lock directory.
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("empty", "/run/lock", "tmpfs", 0, nullptr) != 0) {
            return std::string("no private mount: ") + std::strerror(errno);
        }
        try {
            corvo::FileLock lock(virtualTable);
        } catch (const corvo::ExSystemError<2>& e) {
            return std::string("ExSystemError<2>: ") + e.what();
        }
        return std::string("locked");
    });
    EXPECT_TRUE(exitedWith(outcome, 0));
    EXPECT_EQ(outcome.answer, "ExSystemError<2>: lock() failed: No such file or directory");
    EXPECT_NE(outcome.errors.find("Unable to open file \"" + virtualLockFile +
                                  "\": No such file or directory."),
              std::string::npos)
        << outcome.errors;
}

TEST_F(FileLockTest, HandleKeepsItsDescriptorFromChildren) {
    file_lock* lock = file_lock_exclusive("close-on-exec", 1);
    ASSERT_NE(lock, nullptr);
    ASSERT_GT(lock->fd, 0);
    EXPECT_NE(fcntl(lock->fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(file_lock_release(lock), 0);
    EXPECT_EQ(file_lock_release(nullptr), -1);
}

} // namespace
