// Named file locks: lock file naming and place, contention, an unsafe lock directory.
#include "files/FileLock.hpp"

#include <future>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>

#include "diagnostics/Errors.hpp"
#include "files/file_lock.h"
#include "tests/support/ForkedChild.hpp"

namespace {

using FileLock = SandboxTest;

// Every case locks this name, so the lock directory never holds another file.
const std::string kVirtualTable = "/var/spool/postfix/corvo/virtual";
const std::string kVirtualLockFile = "/run/lock/files/959f4d5e8bb9bf92f31efba5c21bd327";

// Created empty, and never written: what a file already holds stays (it may be planted).
TEST_F(FileLock, LeavesAnEmptyLockFileNamedByMd5InTheLockDirectoryAndNeverTruncatesIt) {
    { corvo::FileLock lock(kVirtualTable); }
    EXPECT_EQ(std::filesystem::file_size(kVirtualLockFile), 0u);
    std::ofstream(kVirtualLockFile) << "left over";
    { corvo::FileLock lock(kVirtualTable); }
    EXPECT_EQ(std::filesystem::file_size(kVirtualLockFile), 9u);
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
        // The owner is the user's, not the group's: root's group alone is not root.
        {"another user's, group root",
         [] {
             mkdir("/run/lock/files", 0755);
             ASSERT_EQ(chown("/run/lock/files", 65534, 0), 0);
         },
         "1: lock() failed: Operation not permitted",
         refused + "it is owned by uid 65534, not by root." + eperm},
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

// What was planted under the lock name before the lock directory became root's is refused by
// the writer and the reader alike, without blocking (a FIFO), without following (a link) and
// without writing (a hard link keeps its target's contents).
TEST_F(FileLock, RefusesAPlantedLockFile) {
    const std::string refused = "Lock file \"" + kVirtualLockFile + "\" refused: ";
    const std::string eperm = "\nSystem error 1: Operation not permitted\n";
    const struct {
        const char* name;
        std::function<void()> plant; // in an empty /run/lock/files, with /run/lock/real
        std::string answer;
        std::string errors;
    } cases[] = {
        {"FIFO", [] { ASSERT_EQ(mkfifo(kVirtualLockFile.c_str(), 0644), 0); },
         "1: lock() failed: Operation not permitted", refused + "it is a FIFO." + eperm},
        {"symbolic link",
         [] { ASSERT_EQ(symlink("/run/lock/real/target", kVirtualLockFile.c_str()), 0); },
         "40: lock() failed: Too many levels of symbolic links",
         refused + "it is a symbolic link.\nSystem error 40: Too many levels of symbolic links\n"},
        {"directory", [] { ASSERT_EQ(mkdir(kVirtualLockFile.c_str(), 0755), 0); },
         "21: lock() failed: Is a directory",
         refused + "it is a directory.\nSystem error 21: Is a directory\n"},
        {"socket",
         [] {
             const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::strcpy(address.sun_path, kVirtualLockFile.c_str());
             ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
         },
         "6: lock() failed: No such device or address",
         refused + "it is a socket.\nSystem error 6: No such device or address\n"},
        {"hard link",
         [] {
             std::ofstream("/run/lock/real/target") << "root's";
             ASSERT_EQ(link("/run/lock/real/target", kVirtualLockFile.c_str()), 0);
         },
         "1: lock() failed: Operation not permitted", refused + "it has 2 links, not one." + eperm},
        {"another user's file",
         [] {
             std::ofstream{kVirtualLockFile};
             ASSERT_EQ(chown(kVirtualLockFile.c_str(), 65534, 0), 0);
         },
         "1: lock() failed: Operation not permitted",
         refused + "it is owned by uid 65534, not by root." + eperm},
    };
    for (const auto& c : cases) {
        for (const bool shared : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (shared ? ", shared" : ", exclusive"));
            ChildOutcome outcome = runInChild([&c, shared] {
                alarm(2); // a FIFO that blocked the open would end the child here
                mountPrivately("empty", "/run/lock", "tmpfs", 0);
                mkdir("/run/lock/files", 0755);
                mkdir("/run/lock/real", 0755);
                c.plant();
                try {
                    if (shared)
                        corvo::SharedFileLock lock(kVirtualTable);
                    else
                        corvo::FileLock lock(kVirtualTable);
                } catch (const corvo::SystemError& e) {
                    std::ifstream target("/run/lock/real/target");
                    std::string kept((std::istreambuf_iterator<char>(target)), {});
                    return std::to_string(e.error()) + ": " + e.what() +
                           (kept.empty() || kept == "root's" ? "" : " (target changed)");
                }
                return std::string("locked");
            });
            EXPECT_EQ(outcome.answer, c.answer);
            EXPECT_EQ(outcome.errors, c.errors);
        }
    }
}

// A reader gives up on a lock that stays held, names who holds it, and leaves the timer
// signal as it found it.
TEST_F(FileLock, SharedLockGivesUpPastItsBoundNamingTheHolder) {
    file_lock* held = file_lock_exclusive(kVirtualTable.c_str(), 1);
    ASSERT_NE(held, nullptr);
    const std::string holder = "process " + std::to_string(getpid()) + " (corvo_files_tes)";
    ChildOutcome outcome = runInChild([fd = held->fd] {
        close(fd);
        const auto start = std::chrono::steady_clock::now();
        corvo::SharedFileLock lock(kVirtualTable);
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        struct sigaction alarmAction {};
        sigaction(SIGALRM, nullptr, &alarmAction);
        itimerval timer{};
        getitimer(ITIMER_REAL, &timer);
        return std::string(lock.held() ? "held" : "not held") + ", " + lock.busyHolder() +
               (waited.count() >= corvo::kSharedLockWaitMs &&
                        waited.count() < corvo::kSharedLockWaitMs + 1000
                    ? ""
                    : ", waited " + std::to_string(waited.count()) + " ms") +
               (alarmAction.sa_handler == SIG_DFL ? "" : ", SIGALRM caught") +
               (timer.it_value.tv_sec == 0 && timer.it_value.tv_usec == 0 ? "" : ", timer left");
    });
    EXPECT_EQ(file_lock_release(held), 0);
    EXPECT_EQ(outcome.answer, "not held, " + holder);
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
