// Server configuration file (more cases run end to end: config-*, mail-directory-from-vca-conf);
// the store lives for the process, so each case reads it in a child.
#include "config/vca_conf.h"

#include "tests/support/ForkedChild.hpp"

namespace {

using VcaConf = SandboxTest;

void writeConf(const char* content) {
    std::filesystem::remove("/etc/vca/vca.conf");
    if (content != nullptr) {
        std::ofstream("/etc/vca/vca.conf") << content;
    }
}

const auto mailnames = [] { return std::string(vca_conf_get_default(VCA_CONF_CORVO_MAILNAMES_D)); };

TEST_F(VcaConf, ReadsMailNamesRootByLineGrammar) {
    const char* const fallback = "/var/qmail/mailnames";
    struct Case {
        const char* content;
        const char* expected;
    } cases[] = {
        {"\t CORVO_MAILNAMES_D\t\t/srv/mail \r\n", "/srv/mail"},
        {"CORVO_MAILNAMES_D\n", fallback},
        {"CORVO_MAILNAMES_D   # /srv/mail\n", fallback},
        {"   # CORVO_MAILNAMES_D /srv/mail\n", fallback},
        {"CORVO_MAILNAMES_D /srv/mail  names \n", "/srv/mail  names"},
        {"-bad /x\nCORVO_MAILNAMES_D /srv/mail", "/srv/mail"},
        {"corvo_mailnames_d /srv/mail\nCORVO_MAILNAMES_D=/srv/mail\n", fallback},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        writeConf(c.content);
        EXPECT_EQ(runInChild(mailnames).answer, c.expected);
    }
}

TEST_F(VcaConf, ReadsTheFileOnceButRetriesAFailedLoad) {
    writeConf(nullptr);
    EXPECT_EQ(runInChild([] {
                  std::string answer = mailnames();
                  writeConf("CORVO_MAILNAMES_D /now/there\nDUMP_D /dumps\n");
                  answer += "|" + mailnames();
                  writeConf("CORVO_MAILNAMES_D /changed\nDUMP_D /changed\n");
                  return answer + "|" + mailnames() + "|" + vca_conf_get_default(VCA_CONF_DUMP_D);
              }).answer,
              "/var/qmail/mailnames|/now/there|/now/there|/dumps");
}

} // namespace
