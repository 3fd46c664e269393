// The mail system account and the domain mail directory. Runs only inside tests/sandbox,
// whose /var/qmail, /etc/vca and account database are private. Each case runs in a forked
// child, so that the configuration is read afresh.
#include "files/MailDirectory.hpp"

#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "diagnostics/Errors.hpp"
#include "tests/unit/files/ForkedChild.hpp"

namespace {

namespace fs = std::filesystem;
using corvo::mail::mailSystemUser;
using corvo::mail::prepareDomainMailDirectory;

struct stat statOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status;
}

class MailDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("SANDBOX_SCRATCH") == nullptr) {
            GTEST_SKIP() << "writes /var/qmail and /etc/vca: runs only inside tests/sandbox";
        }
        const passwd* entry = getpwnam("popuser");
        ASSERT_NE(entry, nullptr);
        popuser_ = {entry->pw_uid, entry->pw_gid};
    }
    void TearDown() override {
        fs::remove_all("/var/qmail/mailnames");
        fs::remove_all("/var/qmail/custom");
        fs::remove("/etc/vca/vca.conf");
    }

    void expectMailDirectory(const std::string& path) {
        struct stat status = statOf(path);
        EXPECT_TRUE(S_ISDIR(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, 0750u);
        EXPECT_EQ(status.st_uid, popuser_.uid);
        EXPECT_EQ(status.st_gid, popuser_.gid);
    }

    corvo::mail::MailSystemUser popuser_{};
};

TEST_F(MailDirectory, CreatesLowerCaseDirectoryUnderDefaultRoot) {
    ChildOutcome outcome = runInChild([] {
        umask(022);
        prepareDomainMailDirectory(mailSystemUser(), "Example.COM");
        return std::to_string(umask(022));
    });
    ASSERT_TRUE(exitedWith(outcome, 0)) << outcome.answer << outcome.errors;
    EXPECT_EQ(outcome.answer, std::to_string(022)) << "file creation mask not restored";
    struct stat parent = statOf("/var/qmail/mailnames");
    EXPECT_EQ(parent.st_mode & 07777, 0700u);
    EXPECT_EQ(parent.st_uid, 0u);
    expectMailDirectory("/var/qmail/mailnames/example.com");
}

TEST_F(MailDirectory, CorrectsExistingDirectoryButNotItsContents) {
    const std::string dir = "/var/qmail/mailnames/example.org";
    fs::create_directories(dir);
    std::ofstream(dir + "/Maildir") << "mail";
    for (const std::string& path : {dir, dir + "/Maildir"}) {
        ASSERT_EQ(chown(path.c_str(), 1, 1), 0);
    }
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir + "/Maildir").c_str(), 0644), 0);

    ChildOutcome outcome = runInChild([] {
        prepareDomainMailDirectory(mailSystemUser(), "example.org");
        return std::string();
    });
    ASSERT_TRUE(exitedWith(outcome, 0)) << outcome.answer << outcome.errors;
    expectMailDirectory(dir);
    struct stat inside = statOf(dir + "/Maildir");
    EXPECT_EQ(inside.st_uid, 1u);
    EXPECT_EQ(inside.st_mode & 07777, 0644u);
}

TEST_F(MailDirectory, UsesRootFromServerConfiguration) {
    std::ofstream("/etc/vca/vca.conf") << "CORVO_MAILNAMES_D /var/qmail/custom/\n";
    ChildOutcome outcome = runInChild([] {
        prepareDomainMailDirectory(mailSystemUser(), "A.Example");
        return corvo::mail::domainMailDirectory("A.Example");
    });
    ASSERT_TRUE(exitedWith(outcome, 0)) << outcome.answer << outcome.errors;
    EXPECT_EQ(outcome.answer, "/var/qmail/custom/a.example");
    expectMailDirectory("/var/qmail/custom/a.example");
    EXPECT_FALSE(fs::exists("/var/qmail/mailnames"));
}

TEST_F(MailDirectory, MissingAccountRaisesSystemError) {
    ChildOutcome outcome = runInChild([] {
        // A private account database without popuser, in a mount namespace of our own.
        std::string passwd = std::string(std::getenv("SANDBOX_SCRATCH")) + "/passwd.nopop";
        std::ofstream(passwd) << "root:x:0:0:root:/root:/bin/sh\n";
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) {
            return std::string("no private mount: ") + std::strerror(errno);
        }
        try {
            mailSystemUser();
        } catch (const corvo::SystemError& e) {
            return std::string(e.what());
        }
        return std::string("found");
    });
    EXPECT_TRUE(exitedWith(outcome, 0));
    EXPECT_EQ(outcome.answer.rfind("user popuser not found", 0), 0u) << outcome.answer;
}

} // namespace
