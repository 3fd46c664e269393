// Administrative alias names from the panel settings file, through the INI reader. Runs
// only inside tests/sandbox, whose /opt/vca is private.
#include "config/AdminAliases.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/ini_file.h"

namespace {

const char* const panelIni = "/opt/vca/admin/conf/panel.ini";
using Words = std::vector<std::string>;
const Words defaults = {"anonymous", "drweb", "kluser", "mailer-daemon", "postmaster", "root"};

class AdminAliases : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("SANDBOX_SCRATCH") == nullptr) {
            GTEST_SKIP() << "writes /opt/vca: runs only inside tests/sandbox";
        }
        std::filesystem::create_directories("/opt/vca/admin/conf");
    }
    void TearDown() override { std::filesystem::remove_all("/opt/vca/admin"); }
};

TEST_F(AdminAliases, ReadsKeyOfMailSection) {
    struct Case {
        const char* name;
        const char* content; // null: no file
        Words expected;
    } cases[] = {
        {"no file", nullptr, defaults},
        {"empty file", "", defaults},
        {"no mail section", "[other]\nx = y\n", defaults},
        {"no key", "[mail]\nother = root\n", defaults},
        {"words and comment",
         "[mail]\nadminAliases = Root Postmaster ;comment\n",
         {"root", "postmaster"}},
        {"empty value", "[mail]\nadminAliases =\n", {}},
        {"blank value and comment", "[mail]\nadminAliases =   ; none\n", {}},
        {"other section", "[other]\nadminAliases = x\n", defaults},
        {"before any section", "adminAliases = x\n[mail]\n", defaults},
        {"section left", "[mail]\n[other]\nadminAliases = x\n", defaults},
        {"blanks inside brackets", "[ mail ]\nadminAliases = x\n", defaults},
        {"section case", "[Mail]\nadminAliases = x\n", defaults},
        {"key case", "[mail]\nadminaliases = x\n", defaults},
        {"quotes kept", "[mail]\nadminAliases = \"Abuse Root\"\n", {"\"abuse", "root\""}},
        {"first key counts", "[mail]\nadminAliases = first\nadminAliases = second\n", {"first"}},
        {"blank runs and repeats",
         "[ x ]\n[mail]\n  adminAliases\t=\tA \t b\v a  \r\n",
         {"a", "b", "a"}},
        {"hash is no comment", "[mail]\n# x = y\nadminAliases = a # b\n", {"a", "#", "b"}},
        {"equals in value", "[mail]\nadminAliases = a=b\n", {"a=b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(panelIni);
        if (c.content != nullptr) {
            std::ofstream(panelIni) << c.content;
        }
        EXPECT_EQ(corvo::mail::getAdminAliases(), c.expected);
    }
}

TEST_F(AdminAliases, IniReaderIgnoresPathsThatAreNoRegularFiles) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(ini_get_value("/opt/vca/admin/conf", "mail", "adminAliases"), nullptr);
    EXPECT_EQ(ini_get_value("/opt/vca/admin/conf/missing.ini", "mail", "adminAliases"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

} // namespace
