// Server configuration file: line grammar, store growth and the load-once rule. The store
// is process-wide and never released, so each case reads it in a forked child, which sends
// the answer back through a pipe. Runs only inside tests/sandbox, whose /etc/vca is private.
#include "config/vca_conf.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tests/unit/files/ForkedChild.hpp"

namespace {

const char* const confPath = "/etc/vca/vca.conf";

// Runs body in a forked child (fresh store and cache) and returns what it answered.
std::string inChild(const std::function<std::string()>& body) {
    ChildOutcome outcome = runInChild(body);
    EXPECT_TRUE(exitedWith(outcome, 0)) << outcome.answer << outcome.errors;
    return outcome.answer;
}

void writeConf(const char* content) {
    std::filesystem::remove(confPath);
    if (content != nullptr) {
        std::ofstream(confPath) << content;
    }
}

std::string mailnames() {
    return vca_conf_get_default(VCA_CONF_CORVO_MAILNAMES_D);
}

class VcaConf : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("SANDBOX_SCRATCH") == nullptr) {
            GTEST_SKIP() << "writes /etc/vca/vca.conf: runs only inside tests/sandbox";
        }
    }
    void TearDown() override { std::filesystem::remove(confPath); }
};

TEST_F(VcaConf, ReadsMailNamesRootByLineGrammar) {
    struct Case {
        const char* name;
        const char* content; // null: no file
        const char* expected;
    } cases[] = {
        {"missing file", nullptr, "/var/qmail/mailnames"},
        {"path and line feed", "CORVO_MAILNAMES_D /srv/mail\n", "/srv/mail"},
        {"no final line feed", "CORVO_MAILNAMES_D /srv/mail", "/srv/mail"},
        {"blanks and comment", "CORVO_MAILNAMES_D /srv/mail   # old: /x\n", "/srv/mail"},
        {"tabs and CRLF", "\t CORVO_MAILNAMES_D\t\t/srv/mail \r\n", "/srv/mail"},
        {"defined twice", "CORVO_MAILNAMES_D /first\nCORVO_MAILNAMES_D /second\n", "/second"},
        {"equals sign", "CORVO_MAILNAMES_D=/srv/mail\n", "/var/qmail/mailnames"},
        {"name only", "CORVO_MAILNAMES_D\n", "/var/qmail/mailnames"},
        {"name and comment", "CORVO_MAILNAMES_D   # /srv/mail\n", "/var/qmail/mailnames"},
        {"comment after blanks", "   # CORVO_MAILNAMES_D /srv/mail\n", "/var/qmail/mailnames"},
        {"inner blanks kept", "CORVO_MAILNAMES_D /srv/mail  names \n", "/srv/mail  names"},
        {"refused line skipped", "-bad /x\nCORVO_MAILNAMES_D /srv/mail\n", "/srv/mail"},
        {"case of name matters", "corvo_mailnames_d /srv/mail\n", "/var/qmail/mailnames"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeConf(c.content);
        EXPECT_EQ(inChild(mailnames), c.expected);
    }
}

// More pairs than the first allocation, written out of order: the store grows, is sorted
// and every name is found by the binary search.
TEST_F(VcaConf, FindsEveryNameOfALargeUnorderedFile) {
    std::string content;
    for (int i = VCA_CONF_VAR_COUNT - 1; i >= 0; --i) {
        content += std::string(vca_conf_known_vars[i].name) + " /value/" + std::to_string(i) + "\n";
        content += "EXTRA_" + std::to_string(i) + " extra " + std::to_string(i) + "\n";
    }
    writeConf(content.c_str());
    EXPECT_EQ(inChild([] {
                  std::string wrong;
                  for (int i = 0; i < VCA_CONF_VAR_COUNT; ++i) {
                      const char* value = vca_conf_get(i);
                      if (value == nullptr || "/value/" + std::to_string(i) != value) {
                          wrong += " index " + std::to_string(i);
                      }
                      std::string extra = "EXTRA_" + std::to_string(i);
                      value = vca_conf_lookup(extra.c_str());
                      if (value == nullptr || "extra " + std::to_string(i) != value) {
                          wrong += " " + extra;
                      }
                  }
                  if (vca_conf_lookup("EXTRA") != nullptr || vca_conf_lookup("ZZZ") != nullptr) {
                      wrong += " undefined name found";
                  }
                  return wrong;
              }),
              "");
}

TEST_F(VcaConf, ReadsTheFileOnceButRetriesAFailedLoad) {
    writeConf(nullptr);
    EXPECT_EQ(inChild([] {
                  std::string answer = mailnames();
                  writeConf("CORVO_MAILNAMES_D /now/there\nDUMP_D /dumps\n");
                  answer += "|" + mailnames();
                  writeConf("CORVO_MAILNAMES_D /changed\nDUMP_D /changed\n");
                  return answer + "|" + mailnames() + "|" + vca_conf_get_default(VCA_CONF_DUMP_D);
              }),
              "/var/qmail/mailnames|/now/there|/now/there|/dumps");
}

} // namespace
