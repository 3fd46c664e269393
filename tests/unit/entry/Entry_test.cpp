// The top-level handler: what each kind of failure prints, on which stream, and the exit
// status.
#include "diagnostics/Errors.hpp"
#include "driver/Entry.hpp"
#include "tests/support/ForkedChild.hpp"

namespace {

// exit() runs the static destructors, which flush the utility error stream; with
// `combined`, standard output goes to standard error's file.
ChildOutcome runHandled(int (*body)(), bool combined = false) {
    return runInChild([=]() -> std::string {
        if (combined)
            dup2(STDERR_FILENO, STDOUT_FILENO);
        exit(corvo::runMain(body));
    });
}

// The end-to-end cases show success and the fatal line of every error the tool raises on
// each stream; these are the outcomes no document can provoke, and both streams in one file.
TEST(Entry, ReportsEachKindOfFailure) {
    const std::string unspecified = "UNSPECIFIED ERROR OCCURED\n";
    const struct {
        const char* name;
        int (*body)();
        int status;
        std::string out, err;
        bool combined = false;
    } cases[] = {
        {"util exception", []() -> int { throw corvo::CorvoUtilException("Unable to obtain"); }, 1,
         "", "Unable to obtain\n"},
        {"not an exception", []() -> int { throw 42; }, 2, unspecified, unspecified},
        {"combined", []() -> int { throw std::runtime_error("x"); }, 1, "",
         "Fatal error: std::runtime_error(x)\nFatal error: std::runtime_error(x)\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ChildOutcome outcome = runHandled(c.body, c.combined);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.output, c.out);
        EXPECT_EQ(outcome.errors, c.err);
    }
}

} // namespace
