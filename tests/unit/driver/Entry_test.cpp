// The top-level handler: what each kind of failure prints, on which stream, and the exit
// status. Each case runs in a forked child whose standard output and error go to files.
#include "diagnostics/Errors.hpp"
#include "driver/Entry.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs runMain(body) in a child; with `combined`, both streams go to one file (kept in out).
Outcome runHandled(int (*body)(), bool combined = false) {
    char out_path[] = "/tmp/entry-out.XXXXXX";
    char err_path[] = "/tmp/entry-err.XXXXXX";
    const int out = mkstemp(out_path);
    const int err = combined ? out : mkstemp(err_path);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        // exit() runs the static destructors, which flush the utility error stream.
        exit(corvo::runMain(body));
    }
    int status = 0;
    waitpid(child, &status, 0);
    Outcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out_path),
                    combined ? "" : slurp(err_path)};
    close(out);
    unlink(out_path);
    if (!combined) {
        close(err);
        unlink(err_path);
    }
    return outcome;
}

struct Case {
    const char* name;
    int (*body)();
    int status;
    std::string out;
    std::string err;
};

} // namespace

// The end-to-end cases show success and the fatal line of every error the tool raises on
// both streams; these are the outcomes no document can provoke.
TEST(Entry, ReportsEachKindOfFailure) {
    const std::string unspecified = "UNSPECIFIED ERROR OCCURED\n";
    const Case cases[] = {
        {"util exception", [] () -> int { throw corvo::CorvoUtilException("Unable to obtain"); },
         1, "", "Unable to obtain\n"},
        {"not an exception", [] () -> int { throw 42; }, 2, unspecified, unspecified},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = runHandled(c.body);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.err, c.err);
    }
}

TEST(Entry, FatalLineAppearsTwiceInACombinedCapture) {
    const Outcome outcome =
        runHandled([] () -> int { throw std::runtime_error("x"); }, true);
    EXPECT_EQ(outcome.out, "Fatal error: std::runtime_error(x)\n"
                           "Fatal error: std::runtime_error(x)\n");
}
