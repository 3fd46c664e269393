// The pipeline engine against the helper child program: data in both directions, exit
// statuses, start-up failures carried back from the child, broken pipes, interrupted
// system calls, and after every case: no descriptor leaked, no child left.
#include "diagnostics/Errors.hpp"
#include "lib/process/lib/Pipe.hpp"
#include "tests/unit/process/leak_checks.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/time.h>

using namespace corvo::process;
using leak_checks::hasChildren;
using leak_checks::openDescriptors;

namespace {

const std::string CHILD = CORVO_HELPERS_DIR "/child";

std::string pattern(std::size_t size, char first) {
    std::string text(size, '\0');
    for (std::size_t index = 0; index < size; ++index) {
        text[index] = static_cast<char>(first + static_cast<char>(index % 26));
    }
    return text;
}

// Hands out data in pieces of up to 64 KiB; an empty text ends at once.
Provider provide(const std::string& data) {
    auto offset = std::make_shared<std::size_t>(0);
    return [data, offset](std::vector<char>& buffer) {
        std::size_t piece = std::min<std::size_t>(65536, data.size() - *offset);
        buffer.insert(buffer.end(), data.begin() + static_cast<long>(*offset),
                      data.begin() + static_cast<long>(*offset + piece));
        *offset += piece;
        return *offset < data.size();
    };
}

Provider endless() {
    return [](std::vector<char>& buffer) {
        buffer.assign(65536, 'x');
        return true;
    };
}

void refuse() {
    throw std::runtime_error("refused");
}
void throwNumber() {
    throw 42;
}
void rejectChunk(const std::vector<char>&) {
    throw std::runtime_error("x");
}

class PipeTest : public ::testing::Test {
protected:
    void SetUp() override { before_ = openDescriptors(); }
    // Every path, success or failure, leaves the descriptors as they were and no child.
    void expectClean() {
        EXPECT_EQ(openDescriptors(), before_);
        EXPECT_FALSE(hasChildren());
    }
    void TearDown() override { expectClean(); }

    std::set<std::string> before_;
};

TEST_F(PipeTest, CarriesMegabytesBothWaysInSmallChunks) {
    const std::string input = pattern(3000000, 'a');
    Pipe pipe(Command(CHILD, "cat"));
    pipe.setStdin(FD_PIPE, provide(input));
    std::string output;
    std::size_t largest = 0;
    pipe.setStdout(FD_PIPE, [&](const std::vector<char>& chunk) {
        largest = std::max(largest, chunk.size());
        output.append(chunk.begin(), chunk.end());
    });
    EXPECT_EQ(pipe.run(), 0);
    EXPECT_TRUE(output == input) << output.size() << " bytes came back";
    EXPECT_LE(largest, 1024U);
}

TEST_F(PipeTest, ReportsStatusAndOutputs) {
    struct Case {
        const char* name;
        Command command;
        int exited;   // -1: not expected to exit
        int signaled; // 0: not expected to die by a signal
        std::string out;
        std::string err;
    } cases[] = {
        {"exit status", Command(CHILD, "text", "hi", "exit", "3"), 3, 0, "hi", ""},
        {"killed by a signal", Command(CHILD, "signal", "15"), -1, SIGTERM, "", ""},
        {"megabytes on stderr", Command(CHILD, "err", "2000000"), 0, 0, "", pattern(2000000, 'A')},
        {"megabytes on both", Command(CHILD, "both", "1500000"), 0, 0, pattern(1500000, 'a'),
         pattern(1500000, 'A')},
        // The provider has nothing: stdin must close at once or "stdin" would never end.
        {"empty input", Command(CHILD, "stdin"), 0, 0, "0 cbf29ce484222325\n", ""},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pipe pipe(c.command);
        pipe.setStdin(FD_PIPE, provide(""));
        std::string out;
        std::string err;
        pipe.setStdout(FD_PIPE, Pipe::appendTo(out));
        pipe.setStderr(FD_PIPE, Pipe::appendTo(err));
        const int status = pipe.run();
        if (c.signaled != 0) {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), c.signaled);
        } else {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), c.exited);
        }
        EXPECT_TRUE(out == c.out) << out.size() << " bytes on stdout";
        EXPECT_TRUE(err == c.err) << err.size() << " bytes on stderr";
        expectClean();
    }
}

TEST_F(PipeTest, RaisesFailuresWithoutLeaks) {
    static char variable[] = "CORVO=1";
    static char* const environment[] = {variable, nullptr};
    const Command sleeper(CHILD, "sleep", "3000");
    struct Case {
        const char* name;
        Command command;
        std::function<void(Pipe&)> setUp;
        const char* kind; // what was caught
        int error;        // corvo::SystemError's number
        std::string text; // part of what()
    } cases[] = {
        {"unknown program", Command("corvo-no-such-program"), nullptr, "SystemError", ENOENT,
         std::string("execvp: ") + std::strerror(ENOENT)},
        {"unknown path", Command("/nonexistent/program"), nullptr, "SystemError", ENOENT,
         std::string("execv: ") + std::strerror(ENOENT)},
        {"unknown with environment", Command("/nonexistent/program"),
         [](Pipe& p) { p.environment = environment; }, "SystemError", ENOENT, "execve: "},
        {"bad working directory", sleeper, [](Pipe& p) { p.workingDirectory = "/nonexistent"; },
         "SystemError", ENOENT, "cwd chdir: "},
        {"pre-exec raises", sleeper, [](Pipe& p) { p.preExec = &refuse; }, "runtime_error", 0,
         "refused"},
        {"pre-exec raises other", sleeper, [](Pipe& p) { p.preExec = &throwNumber; },
         "runtime_error", 0, "unknown error"},
        {"bad stdin code", sleeper, [](Pipe& p) { p.setStdin(-7); }, "invalid_argument", 0,
         "invalid FD for stdin"},
        {"bad stderr code", sleeper, [](Pipe& p) { p.setStderr(-9); }, "invalid_argument", 0,
         "invalid FD for stderr"},
        {"no provider", sleeper, [](Pipe& p) { p.setStdin(FD_PIPE); }, "runtime_error", 0,
         "call to empty boost::function"},
        // The child closes stdin but lives on: the write meets EPIPE, the tool survives
        // and the sleeping child is killed rather than waited for.
        {"reader gone", Command(CHILD, "closein", "sleep", "3000"),
         [](Pipe& p) { p.setStdin(FD_PIPE, endless()); }, "SystemError", EPIPE, "write: "},
        {"sink raises", Command(CHILD, "out", "10", "sleep", "3000"),
         [](Pipe& p) { p.setStdout(FD_PIPE, &rejectChunk); }, "runtime_error", 0, "x"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pipe pipe(c.command);
        if (c.setUp) {
            c.setUp(pipe);
        }
        const auto start = std::chrono::steady_clock::now();
        std::string kind = "nothing";
        std::string text;
        try {
            pipe.run();
        } catch (const corvo::SystemError& e) {
            kind = "SystemError";
            text = e.what();
            EXPECT_EQ(e.error(), c.error);
        } catch (const std::invalid_argument& e) {
            kind = "invalid_argument";
            text = e.what();
        } catch (const std::runtime_error& e) {
            kind = "runtime_error";
            text = e.what();
        }
        EXPECT_EQ(kind, c.kind);
        EXPECT_NE(text.find(c.text), std::string::npos) << text;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
        expectClean();
    }
    struct sigaction pipeAction {};
    sigaction(SIGPIPE, nullptr, &pipeAction);
    EXPECT_EQ(pipeAction.sa_handler, SIG_DFL);
}

TEST_F(PipeTest, RunsOnce) {
    Pipe pipe{Command(CHILD)};
    EXPECT_EQ(pipe.run(), 0);
    try {
        pipe.run();
        ADD_FAILURE() << "second run accepted";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "the pipe has been launched already");
    }
}

TEST_F(PipeTest, ChainsCommandsAndReportsEachExit) {
    const std::string input = pattern(200000, 'k');
    Pipe pipe(Command(CHILD, "cat"));
    pipe.add(Command(CHILD, "cat", "exit", "4"));
    pipe.setStdin(FD_PIPE, provide(input));
    std::string output;
    pipe.setStdout(FD_PIPE, Pipe::appendTo(output));
    std::vector<std::pair<std::size_t, int>> exits;
    pipe.onExit = [&](std::size_t index, int status) { exits.emplace_back(index, status); };
    const int status = pipe.run();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4);
    EXPECT_TRUE(output == input);
    ASSERT_EQ(exits.size(), 2U);
    EXPECT_EQ(exits[0], std::make_pair(std::size_t{0}, 0));
    EXPECT_EQ(exits[1], std::make_pair(std::size_t{1}, status));
}

TEST_F(PipeTest, AppliesChildSettings) {
    static char variable[] = "CORVO_TEST=yes";
    static char* const environment[] = {variable, nullptr};
    const int extra = open("/dev/null", O_RDONLY); // inherited unless closed
    struct Case {
        const char* name;
        Command command;
        std::function<void(Pipe&)> setUp;
        std::string out;
    } cases[] = {
        {"environment", Command(CHILD, "env", "CORVO_TEST"),
         [](Pipe& p) { p.environment = environment; }, "yes\n"},
        {"working directory", Command(CHILD, "id"), [](Pipe& p) { p.workingDirectory = "/"; },
         std::to_string(getuid()) + " " + std::to_string(getgid()) + " /\n"},
        {"inherited descriptor", Command(CHILD, "fds"), nullptr, " " + std::to_string(extra) + " "},
        {"other descriptors closed", Command(CHILD, "fds"),
         [](Pipe& p) { p.closeOtherDescriptors = true; }, "0 1 2\n"},
        {"stdin from /dev/null", Command(CHILD, "stdin"), [](Pipe& p) { p.setStdin(FD_DEVNULL); },
         "0 cbf29ce484222325\n"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pipe pipe(c.command);
        if (c.setUp) {
            c.setUp(pipe);
        }
        std::string out;
        pipe.setStdout(FD_PIPE, Pipe::appendTo(out));
        EXPECT_EQ(pipe.run(), 0);
        if (c.out.front() == ' ') {
            EXPECT_NE((" " + out).find(c.out), std::string::npos) << out;
        } else {
            EXPECT_EQ(out, c.out);
        }
    }
    close(extra);
}

// The tool holds SIGPIPE off and SIGCHLD blocked only for itself: children start with
// neither, even when the tool's caller had SIGPIPE ignored, and the tool gets its own
// dispositions and mask back.
TEST_F(PipeTest, ChildrenStartWithCleanSignalState) {
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    Pipe pipe(Command("/bin/grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"));
    std::string out;
    pipe.setStdout(FD_PIPE, Pipe::appendTo(out));
    EXPECT_EQ(pipe.run(), 0);
    struct sigaction now {};
    sigaction(SIGPIPE, &previous, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    sigaction(SIGCHLD, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGCHLD));

    unsigned long long blocked = ~0ULL;
    unsigned long long ignored = ~0ULL;
    ASSERT_EQ(std::sscanf(out.c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored), 2) << out;
    EXPECT_EQ(blocked & (1ULL << (SIGCHLD - 1)), 0U);
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0U);
}

// A timer signal without SA_RESTART lands in select, read, write and the control-pipe read.
TEST_F(PipeTest, SurvivesInterruptedSystemCalls) {
    static volatile sig_atomic_t alarms = 0;
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) { alarms = alarms + 1; };
    sigaction(SIGALRM, &action, &previous);
    itimerval timer{{0, 500}, {0, 500}};
    setitimer(ITIMER_REAL, &timer, nullptr);

    const std::string input = pattern(2000000, 'c');
    Pipe pipe(Command(CHILD, "cat"));
    pipe.setStdin(FD_PIPE, provide(input));
    std::string output;
    pipe.setStdout(FD_PIPE, Pipe::appendTo(output));
    const int status = pipe.run();

    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(output == input);
    EXPECT_GT(alarms, 0);
}

// A grandchild that keeps the output pipes open holds run() until it closes them: the
// tool cannot know that no more output will come. The command's status is still its own.
TEST_F(PipeTest, WaitsForGrandchildHoldingOutput) {
    Pipe pipe(Command(CHILD, "grandchild", "1500", "text", "early", "exit", "5"));
    std::string out;
    pipe.setStdout(FD_PIPE, Pipe::appendTo(out));
    pipe.setStderr(FD_PIPE);
    std::chrono::steady_clock::time_point ended;
    pipe.onExit = [&](std::size_t, int) { ended = std::chrono::steady_clock::now(); };
    const auto start = std::chrono::steady_clock::now();
    const int status = pipe.run();
    const auto returned = std::chrono::steady_clock::now();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5);
    EXPECT_EQ(out, "earlygrandchild\n");
    EXPECT_LT(ended - start, std::chrono::milliseconds(1000));
    EXPECT_GE(returned - start, std::chrono::milliseconds(1400));
}

} // namespace
