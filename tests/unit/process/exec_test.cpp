// The fork and exec engine and ExecCmd, driven through the helper child program (after every
// case no descriptor has leaked and no child is left), and the two child steps that both
// engines share: closing descriptors and placing the streams.
#include "lib/process/lib/ExecCmd.hpp"
#include "lib/process/lib/close_from.h"
#include "lib/process/lib/fork_exec.h"
#include "lib/process/lib/place_streams.h"
#include "tests/support/refuse_system_calls.hpp"
#include "tests/unit/process/leak_checks.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>

using corvo::quoteArgument;
using leak_checks::pattern;

namespace {

const std::string kChild = CORVO_HELPERS_DIR "/child";

std::unique_ptr<corvo::ExecCmd> childCommand(const std::vector<std::string>& arguments) {
    auto command = std::make_unique<corvo::ExecCmd>(kChild);
    for (const std::string& argument : arguments)
        command->add(argument);
    return command;
}

using ChildRun = leak_checks::LeakChecked;

// An exit status with both outputs and a program that cannot start are shown end to end
// (siblings-exit-3-with-output, siblings-missing).
TEST_F(ChildRun, RunsChildrenOnEveryPath) {
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        std::string stdinText;
        int returnCode;
        std::string stdoutText;
        std::string stderrText;
    } cases[] = {
        {"stdin unread", {"exit", "3"}, std::string(8 << 20, 's'), 3, "", ""},
        {"killed", {"text", "x", "signal", "9"}, std::string(1 << 20, 's'), -1, "x", ""},
        {"megabytes both ways",
         {"both", std::to_string(3 << 20), "cat"},
         pattern('k', 2 << 20),
         0,
         pattern('a', 3 << 20) + pattern('k', 2 << 20),
         pattern('A', 3 << 20)},
        {"only 0-2 reach the child", {"fds"}, "", 0, "0 1 2 ", ""},
        // The run ends with the child: the grandchild holding both pipes holds nothing up,
        // and what it writes later is lost.
        {"grandchild", {"grandchild", "5000", "text", "p\n"}, "", 0, "p\n", ""},
        {"exact argument vector",
         {"args", "a b", "", "x\ny", std::string("nul\0tail", 8), "last"},
         "",
         0,
         kChild + std::string("\0args\0a b\0\0x\ny\0nul\0last\0", 24),
         ""},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        auto command = childCommand(each.arguments);
        command->setStdinText(each.stdinText);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(each.returnCode, command->runNoThrow());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
        EXPECT_EQ(each.stdoutText, command->stdoutText());
        EXPECT_EQ(each.stderrText, command->stderrText());
        expectClean();
    }
}

void refuseOutput(const char*, std::size_t, void*) {
    throw std::runtime_error("refused");
}

// Runs check in a forked child with the system calls refused there, as on an older kernel;
// it passes when check returns 0 (another number says which of its checks failed).
template <class Check> void expectInChild(const std::vector<long>& refused, Check check) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        refuseSystemCalls(refused);
        _exit(check());
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A consumer that raises ends the run: the child gets SIGTERM, and SIGKILL when it is still
// there 2 seconds later, and is reaped before the failure is raised. A run that succeeds ends
// with the child: a grandchild holding the pipes holds nothing up. Each case also runs with
// pidfd_open refused, where the engine looks for the child's end every tenth of a second.
TEST(ChildEnd, ARunEndsWithItsChildWithinTheGraceTime) {
    const struct {
        const char* name;
        std::vector<const char*> arguments;
        bool raises; // the output consumer, which ends the run
        long atLeastMs;
        long belowMs;
    } cases[] = {
        {"ends at SIGTERM", {"text", "x", "sleep", "20000"}, true, 0, 1000},
        {"ignores SIGTERM", {"ignore", "15", "text", "x", "sleep", "20000"}, true, 1900, 4000},
        {"grandchild", {"grandchild", "5000", "text", "p\n", "exit", "4"}, false, 0, 2000},
    };
    for (const bool refused : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (refused ? " without pidfd" : ""));
            expectInChild(refused ? std::vector<long>{SYS_pidfd_open} : std::vector<long>{}, [&] {
                std::vector<char*> argv{const_cast<char*>(kChild.c_str())};
                for (const char* argument : c.arguments)
                    argv.push_back(const_cast<char*>(argument));
                argv.push_back(nullptr);
                const fork_exec::environment_map none;
                const fork_exec::child_command command{kChild.c_str(), argv.data(), nullptr, false,
                                                       none};
                const auto start = std::chrono::steady_clock::now();
                std::string out, err;
                int code = -2;
                bool raised = false;
                try {
                    code = c.raises
                               ? fork_exec::forkExecvGetOutErr(
                                     command, {nullptr, refuseOutput, nullptr, nullptr, 16, 16, 16})
                               : fork_exec::forkExecvGetOutErr(command, "", out, err);
                } catch (const std::runtime_error& error) {
                    raised = std::string(error.what()) == "refused";
                }
                const auto took = std::chrono::steady_clock::now() - start;
                return raised != c.raises                              ? 1
                       : !c.raises && (code != 4 || out != "p\n")      ? 5
                       : took < std::chrono::milliseconds(c.atLeastMs) ? 2
                       : took >= std::chrono::milliseconds(c.belowMs)  ? 3
                       : leak_checks::hasChildren()                    ? 4
                                                                       : 0;
            });
        }
    }
}

// Both sections together, after a signal too, and the type of the failure are shown end to
// end (siblings-exit-3-with-output, siblings-killed-by-signal).
TEST_F(ChildRun, RunReportsTheFailureWithEverythingTheChildWrote) {
    const std::string head = "Execution of " + quoteArgument(kChild);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"exit", "5", ""}, " exit 5 '' failed with return code 5.\n"},
        {{"errtext", "oops", "exit", "1"},
         " errtext oops exit 1 failed with return code 1.\nStderr is\noops\n"},
        {{"text", "done\n", "exit", "2"},
         " text done'\n' exit 2 failed with return code 2.\nStdout is\ndone\n"},
    };
    for (const auto& [arguments, report] : cases) {
        SCOPED_TRACE(report);
        auto command = childCommand(arguments);
        try {
            command->run();
            ADD_FAILURE() << "run() returned";
        } catch (const corvo::ExecCmdFailed& failure) {
            const std::string lastError = command->lastError();
            EXPECT_EQ(head + report +
                          (lastError.empty() ? "" : "Last error is\n" + lastError + "\n"),
                      failure.what());
        }
    }
}

// Each way close_from can take closes every descriptor from the lowest up but the kept one,
// leaves those below alone and keeps errno: close_range, the /proc/self/fd listing when the
// kernel lacks close_range, and the count down from the limit when the listing cannot be
// opened either.
TEST(CloseFrom, ClosesEverythingFromTheLowestButTheKeptOneOnEachWay) {
    const std::pair<const char*, std::vector<long>> ways[] = {
        {"close_range", {}},
        {"listing", {SYS_close_range}},
        {"count down", {SYS_close_range, SYS_openat}},
    };
    for (const auto& [way, refused] : ways) {
        for (const int keep : {-1, 5, 7, 63}) {
            SCOPED_TRACE(std::string(way) + " keeping " + std::to_string(keep));
            expectInChild(refused, [keep] {
                const rlimit limit{64, 64};
                if (setrlimit(RLIMIT_NOFILE, &limit) != 0 || dup2(0, 4) != 4 || dup2(0, 5) != 5 ||
                    dup2(0, 7) != 7 || dup2(0, 63) != 63)
                    return 91;
                errno = EDOM;
                close_from(5, keep);
                const bool keptErrno = errno == EDOM;
                bool closed = true;
                for (const int descriptor : {5, 7, 63})
                    closed = closed && (fcntl(descriptor, F_GETFD) < 0) == (descriptor != keep);
                return keptErrno && fcntl(4, F_GETFD) >= 0 && closed ? 0 : 1;
            });
        }
    }
}

// The child's streams land on 0, 1 and 2 whatever their sources, also when the sources are
// those same numbers crossed (a naive dup2 in order would put one file on two streams), and
// a stream left on its own number loses close-on-exec. Each case runs in a forked child
// whose streams and descriptor 5 are four distinct pipes.
TEST(PlaceStreams, PutsEverySourceOnItsStreamWhenTheyCross) {
    const struct {
        int sources[3];
        int expected[3]; // the stream (or 5) whose file each target ends up with
    } cases[] = {
        {{-1, 2, 1}, {0, 2, 1}},
        {{1, 2, 0}, {1, 2, 0}},
        {{5, 0, -1}, {5, 0, 2}},
        {{0, 1, 2}, {0, 1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.sources[0]) + " " + std::to_string(c.sources[1]) + " " +
                     std::to_string(c.sources[2]));
        expectInChild({}, [&c] {
            ino_t files[6] = {};
            for (const int descriptor : {0, 1, 2, 5}) {
                int ends[2];
                struct stat status {};
                if (pipe(ends) != 0 || dup2(ends[0], descriptor) != descriptor ||
                    fcntl(descriptor, F_SETFD, FD_CLOEXEC) != 0 || fstat(descriptor, &status) != 0)
                    return 91;
                files[descriptor] = status.st_ino;
            }
            int sources[3] = {c.sources[0], c.sources[1], c.sources[2]};
            bool placed = place_streams(sources) == -1;
            for (int target = 0; target < 3; ++target) {
                struct stat status {};
                placed = placed && fstat(target, &status) == 0 &&
                         status.st_ino == files[c.expected[target]] &&
                         (c.sources[target] != target || fcntl(target, F_GETFD) == 0);
            }
            return placed ? 0 : 1;
        });
    }
}

TEST(QuoteArgument, EscapesShellSpecialBytesOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"plain-word_1.2/x", "plain-word_1.2/x"},
        {"a b\tc", "a\\ b\\\tc"},
        {"x\ny", "x'\n'y"},
        {"\"#$&'()*;<>?[\\`|~", "\\\"\\#\\$\\&\\'\\(\\)\\*\\;\\<\\>\\?\\[\\\\\\`\\|\\~"},
        {"!{}]^=%@,+:\xc3\xa9\xff\x80", "!{}]^=%@,+:\xc3\xa9\xff\x80"},
    };
    for (const auto& [argument, quoted] : cases) {
        SCOPED_TRACE(argument);
        EXPECT_EQ(quoted, quoteArgument(argument));
    }
}

} // namespace
