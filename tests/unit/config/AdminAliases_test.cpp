// Administrative alias names from the panel settings file (more run end to end: admin-aliases-*).
#include "config/AdminAliases.hpp"

#include "tests/support/ForkedChild.hpp"

namespace {

using AdminAliases = SandboxTest;

TEST_F(AdminAliases, ReadsKeyOfMailSection) {
    struct Case {
        const char* content;
        std::vector<std::string> expected;
    } cases[] = {
        {"[Mail]\nadminAliases = x\n[mail]\nadminaliases = y\n[o]\nadminAliases = z\n",
         {"anonymous", "drweb", "kluser", "mailer-daemon", "postmaster", "root"}},
        {"[mail]\nadminAliases = \"Abuse Root\"\n", {"\"abuse", "root\""}},
        {"[ x ]\n[mail]\n  adminAliases\t=\tA \t b\v a  \r\n", {"a", "b", "a"}},
        {"[mail]\n# x = y\nadminAliases = a # b=c\n", {"a", "#", "b=c"}},
    };
    std::filesystem::create_directories("/opt/vca/admin/conf");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        std::ofstream("/opt/vca/admin/conf/panel.ini") << c.content;
        EXPECT_EQ(corvo::mail::getAdminAliases(), c.expected);
    }
}

} // namespace
