// How a printed report becomes system log records: one per non-empty line, long lines cut
// with the count of bytes left out (whole reports, long ones cut, run end to end: system-log-*).
#include "diagnostics/system_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> records(const std::string& text) {
    std::vector<std::string> out;
    system_log_records(
        text.c_str(),
        [](void* context, const char* record) {
            static_cast<std::vector<std::string>*>(context)->push_back(record);
        },
        &out);
    return out;
}

TEST(SystemLogRecords, SplitsReportsIntoLines) {
    const std::string edge(system_log_max_line_bytes, 'a');
    std::string most;
    for (std::size_t line = 0; line < system_log_max_lines; ++line)
        most += "x\n";
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"empty", "", {}},
        {"only line feeds", "\n\n\n", {}},
        {"empty lines inside are dropped", "a\n\nb\n", {"a", "b"}},
        {"blank lines are kept", "a\n \nb", {"a", " ", "b"}},
        {"line of the longest kept length", edge, {edge}},
        {"line one byte too long", edge + "b", {edge + " [... 1 more bytes]"}},
        {"as many lines as are kept", most, std::vector<std::string>(system_log_max_lines, "x")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(records(c.text), c.expected);
    }
}

} // namespace
