// How a printed report becomes system log records: one per non-empty line, long lines cut
// with the count of bytes left out, long reports cut with the count of lines left out. The
// records themselves reaching the log socket are checked end to end (tests/e2e, system-log-*).
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

std::string lines(std::size_t count) {
    std::string text;
    for (std::size_t i = 1; i <= count; ++i)
        text += "line " + std::to_string(i) + "\n";
    return text;
}

TEST(SystemLogRecords, SplitsReportsIntoLines) {
    const std::string edge(system_log_max_line_bytes, 'a');
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"empty", "", {}},
        {"only line feeds", "\n\n\n", {}},
        {"one line", "Fatal error: x(y)", {"Fatal error: x(y)"}},
        {"trailing line feed", "Unable to chown dir d: e\n", {"Unable to chown dir d: e"}},
        {"message with system error",
         "Unable to open file \"f\": No such file or directory.\nSystem error 2: No such file",
         {"Unable to open file \"f\": No such file or directory.", "System error 2: No such file"}},
        {"empty lines inside are dropped", "a\n\nb\n", {"a", "b"}},
        {"blank lines are kept", "a\n \nb", {"a", " ", "b"}},
        {"line of the longest kept length", edge, {edge}},
        {"line one byte too long", edge + "b", {edge + " [... 1 more bytes]"}},
        {"long line among short ones", "x\n" + edge + "ccc\ny",
         {"x", edge + " [... 3 more bytes]", "y"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(records(c.text), c.expected);
    }
}

TEST(SystemLogRecords, KeepsTheFirstLinesAndCountsTheRest) {
    const std::vector<std::string> exact = records(lines(system_log_max_lines));
    ASSERT_EQ(exact.size(), system_log_max_lines);
    EXPECT_EQ(exact.back(), "line " + std::to_string(system_log_max_lines));

    // Empty lines after the cut are not counted either.
    const std::vector<std::string> longer = records(lines(system_log_max_lines + 7) + "\n\n");
    ASSERT_EQ(longer.size(), system_log_max_lines + 1);
    EXPECT_EQ(longer[system_log_max_lines - 1], "line " + std::to_string(system_log_max_lines));
    EXPECT_EQ(longer.back(), "[... 7 more lines]");
}

} // namespace
