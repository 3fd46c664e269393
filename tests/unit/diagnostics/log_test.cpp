// The logger and the message routine as a process sees them: what reaches the two streams
// (standard error first, then standard output, here one file) and whether the call returns.
#include "diagnostics/log.h"

#include "tests/support/ForkedChild.hpp"

namespace {

// The status of a child that ran call ("returned" when the call came back), and what it
// printed on both streams.
template <class Call> ChildOutcome run_in_child(Call call) {
    return runInChild([&] {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        call();
        return std::string("returned");
    });
}

TEST(MessageExit, PrintsWholeMessageWithSystemErrorAndExitsOnlyForNonZeroStatus) {
    const std::string enoent = "\nSystem error 2: No such file or directory\n";
    const struct {
        const char* name;
        std::string text;
        int error;
        std::string printed; // on each stream
    } cases[] = {
        {"own newline kept single", "closing: x\n", 0, "closing: x\n"},
        {"one byte past the first buffer", std::string(4096, 'b'), 0,
         std::string(4096, 'b') + "\n"},
        {"suffix past it", std::string(4090, 'c'), 2, std::string(4090, 'c') + enoent},
        {"far past it", std::string(70000, 'd'), 2, std::string(70000, 'd') + enoent},
    };
    // -1 stands for message_warning, which must print what message_exit(0, ...) prints.
    for (const auto& c : cases) {
        for (const int status : {-1, 0, 3}) {
            SCOPED_TRACE(std::string(c.name) + ", status " + std::to_string(status));
            const ChildOutcome outcome = run_in_child([&] {
                errno = c.error;
                if (status < 0)
                    message_warning("%s", c.text.c_str());
                else
                    message_exit(status, "%s", c.text.c_str());
            });
            EXPECT_EQ(outcome.status, status > 0 ? status : 0);
            EXPECT_EQ(outcome.answer, status > 0 ? "" : "returned");
            EXPECT_TRUE(outcome.errors == c.printed + c.printed) << outcome.errors.substr(0, 200);
        }
    }
}

TEST(LogMessage, ShowsLevelsUpToInformation) {
    EXPECT_EQ(run_in_child([] {
                  log_message(7, "debug");
                  log_message(3, "System error: %s\n", "x");
              }).errors,
              "System error: x\n\nSystem error: x\n\n");
}

} // namespace
