// The mail system account and the file creation mask (the mail directory runs end to end).
#include "files/MailDirectory.hpp"

#include "diagnostics/Errors.hpp"
#include "tests/support/ForkedChild.hpp"

namespace {

using MailDirectory = SandboxTest;

TEST_F(MailDirectory, ModeDoesNotDependOnTheFileCreationMaskWhichIsRestored) {
    ChildOutcome outcome = runInChild([] {
        umask(0777);
        corvo::mail::prepareDomainMailDirectory(corvo::mail::mailSystemUser(), "example.com");
        return std::to_string(umask(0));
    });
    EXPECT_EQ(outcome.answer, std::to_string(0777)) << outcome.errors;
    EXPECT_EQ(std::filesystem::status("/var/qmail/mailnames/example.com").permissions(),
              std::filesystem::perms(0750));
}

TEST_F(MailDirectory, MissingAccountRaisesSystemError) {
    ChildOutcome outcome = runInChild([] {
        std::string passwd = std::string(std::getenv("SANDBOX_SCRATCH")) + "/passwd.nopop";
        std::ofstream(passwd) << "root:x:0:0:root:/root:/bin/sh\n";
        mountPrivately(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND);
        try {
            corvo::mail::mailSystemUser();
        } catch (const corvo::SystemError& e) {
            return std::string(e.what());
        }
        return std::string("found");
    });
    EXPECT_EQ(outcome.answer.rfind("user popuser not found", 0), 0u) << outcome.answer;
}

} // namespace
