// Administrative alias names from the panel settings file (more cases run end to end).
#include "config/AdminAliases.hpp"

#include "tests/support/ForkedChild.hpp"

namespace {

using AdminAliases = SandboxTest;

TEST_F(AdminAliases, ReadsKeyOfMailSection) {
    const std::vector<std::string> defaults = {"anonymous",     "drweb",      "kluser",
                                               "mailer-daemon", "postmaster", "root"};
    struct Case {
        const char* content; // null: no file
        std::vector<std::string> expected;
    } cases[] = {
        {nullptr, defaults},
        {"[mail]\nadminAliases = Root Postmaster ;comment\n", {"root", "postmaster"}},
        {"[mail]\nadminAliases =\n", {}},
        {"adminAliases = x\n[other]\nadminAliases = y\n[mail]\n", defaults},
        {"[ mail ]\nadminAliases = x\n", defaults},
        {"[Mail]\nadminAliases = x\n[mail]\nadminaliases = y\n[o]\nadminAliases = z\n", defaults},
        {"[mail]\nadminAliases = \"Abuse Root\"\n", {"\"abuse", "root\""}},
        {"[mail]\nadminAliases = first\nadminAliases = second\n", {"first"}},
        {"[ x ]\n[mail]\n  adminAliases\t=\tA \t b\v a  \r\n", {"a", "b", "a"}},
        {"[mail]\n# x = y\nadminAliases = a # b=c\n", {"a", "#", "b=c"}},
    };
    std::filesystem::create_directories("/opt/vca/admin/conf");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content == nullptr ? "no file" : c.content);
        std::filesystem::remove("/opt/vca/admin/conf/panel.ini");
        if (c.content != nullptr) {
            std::ofstream("/opt/vca/admin/conf/panel.ini") << c.content;
        }
        EXPECT_EQ(corvo::mail::getAdminAliases(), c.expected);
    }
}

} // namespace
