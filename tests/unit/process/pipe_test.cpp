// The pipeline engine against the helper child program: data in both directions, exit
// statuses, start-up failures carried back from the child, broken pipes, interrupted
// system calls; after every case no descriptor has leaked and no child is left.
#include "diagnostics/Errors.hpp"
#include "lib/process/lib/ExecCmd.hpp"
#include "lib/process/lib/Pipe.hpp"
#include "tests/unit/process/leak_checks.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/time.h>

using namespace corvo::process;
using leak_checks::pattern;

namespace {

const std::string kChild = CORVO_HELPERS_DIR "/child";

// Hands out data in pieces of up to 64 KiB; an empty text ends at once.
Provider provide(const std::string& data) {
    auto offset = std::make_shared<std::size_t>(0);
    return [data, offset](std::vector<char>& buffer) {
        const std::size_t piece = std::min<std::size_t>(65536, data.size() - *offset);
        buffer.insert(buffer.end(), data.begin() + static_cast<long>(*offset),
                      data.begin() + static_cast<long>(*offset + piece));
        return (*offset += piece) < data.size();
    };
}

void rejectChunk(const std::vector<char>&) {
    throw std::runtime_error("x");
}

using PipeTest = leak_checks::LeakChecked;

// A child still running when run() raises is killed rather than waited for. A timer signal
// without SA_RESTART lands in select, read, write and the control-pipe read all along.
TEST_F(PipeTest, RunsOnEveryPathWithoutLeaks) {
    static volatile sig_atomic_t alarms = 0;
    struct sigaction action {};
    action.sa_handler = [](int) { alarms = alarms + 1; };
    sigaction(SIGALRM, &action, nullptr);
    itimerval timer{{0, 500}, {0, 500}};
    setitimer(ITIMER_REAL, &timer, nullptr);
    const struct {
        const char* name;
        Command command;
        void (*setUp)(Pipe&);
        std::string result; // the raw wait status, or what was raised
        std::string out;
        std::string err;
    } cases[] = {
        {"killed by a signal", Command(kChild, "signal", "15"), nullptr,
         std::to_string(W_EXITCODE(0, SIGTERM)), "", ""},
        {"megabytes on both outputs", Command(kChild, "both", "2000000"), nullptr, "0",
         pattern('a', 2000000), pattern('A', 2000000)},
        // run() returns once the command has ended, with what it wrote, and leaves the
        // grandchild holding the output behind (the bound below is half its sleep).
        {"grandchild holds the output",
         Command(kChild, "grandchild", "5000", "text", "early", "exit", "5"), nullptr,
         std::to_string(W_EXITCODE(5, 0)), "early", ""},
        // The provider has nothing: stdin must close at once or "cat" would never end.
        {"empty input", Command(kChild, "cat"), nullptr, "0", "", ""},
        {"unknown path", Command("/nonexistent/program"), nullptr,
         "SystemError execv: " + std::string(std::strerror(ENOENT)), "", ""},
        {"bad stdin code", Command(kChild), [](Pipe& p) { p.setStdin(-7); }, "invalid FD for stdin",
         "", ""},
        {"reader gone", Command(kChild, "closein", "sleep", "3000"),
         [](Pipe& p) { p.setStdin(kFdPipe, provide(std::string(8 << 20, 'x'))); },
         "SystemError write: " + std::string(std::strerror(EPIPE)), "", ""},
        // A pre-exec function is the caller's code: it runs in a forked child of its own,
        // whose environment it may change, and what it raises comes back as its kind.
        {"pre-exec function", Command(kChild, "env", "CORVO_PRE_EXEC"),
         [](Pipe& p) { p.preExec = +[] { setenv("CORVO_PRE_EXEC", "ran", 1); }; }, "0", "ran\n",
         ""},
        {"pre-exec function raises", Command(kChild),
         [](Pipe& p) { p.preExec = +[] { throw std::runtime_error("refused before exec"); }; },
         "refused before exec", "", ""},
        {"pre-exec system error", Command(kChild),
         [](Pipe& p) { p.preExec = +[] { throw corvo::SystemError("pre-exec step", EACCES); }; },
         "SystemError pre-exec step: " + std::string(std::strerror(EACCES)), "", ""},
        {"megabytes through two commands", Command(kChild, "cat"),
         [](Pipe& p) {
             p.add(Command(kChild, "cat"));
             p.setStdin(kFdPipe, provide(pattern('k', 3000000)));
         },
         "0", pattern('k', 3000000), ""},
        // The first command is running when the second cannot start: it is killed and reaped.
        {"second command missing", Command(kChild, "cat"),
         [](Pipe& p) { p.add(Command("corvo-no-such-program")); },
         "SystemError execvp: " + std::string(std::strerror(ENOENT)), "", ""},
        // A command's own working directory wins over the pipeline's.
        {"working directories", Command(kChild, "cwd"),
         [](Pipe& p) {
             p.workingDirectory = "/";
             Command second(kChild, "cat", "cwd");
             second.workingDirectory = "/dev";
             p.add(second);
         },
         "0", "/\n/dev\n", ""},
        {"working directory missing", Command(kChild),
         [](Pipe& p) { p.workingDirectory = "/nonexistent"; },
         "SystemError cwd chdir: " + std::string(std::strerror(ENOENT)), "", ""},
        // A given environment is the whole environment: PATH is not inherited.
        {"environment", Command(kChild, "env", "CORVO_GIVEN", "env", "PATH"),
         [](Pipe& p) {
             static char given[] = "CORVO_GIVEN=yes";
             static char* const environment[] = {given, nullptr};
             p.environment = environment;
         },
         "0", "yes\n(unset)\n", ""},
        // The stray descriptor the fixture holds open would show without the flag.
        {"other descriptors closed", Command(kChild, "fds"),
         [](Pipe& p) { p.closeOtherDescriptors = true; }, "0", "0 1 2 ", ""},
        // The exit function runs in the tool with the command's index and wait status; what
        // it raises ends the run.
        {"exit function", Command(kChild, "exit", "7"),
         [](Pipe& p) {
             p.add(Command(kChild, "cat", "exit", "9"));
             p.onExit = +[](std::size_t index, int status) {
                 throw std::runtime_error(std::to_string(index) + " " + std::to_string(status));
             };
         },
         "0 " + std::to_string(W_EXITCODE(7, 0)), "", ""},
        {"run twice", Command(kChild), [](Pipe& p) { p.run(); },
         "the pipe has been launched already", "", ""},
        {"sink raises", Command(kChild, "text", "x", "sleep", "3000"),
         [](Pipe& p) { p.setStdout(kFdPipe, &rejectChunk); }, "x", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pipe pipe(c.command);
        std::string out;
        std::string err;
        pipe.setStdin(kFdPipe, provide(""));
        std::size_t largest = 0;
        pipe.setStdout(kFdPipe, [&](const std::vector<char>& chunk) {
            largest = std::max(largest, chunk.size());
            out.append(chunk.begin(), chunk.end());
        });
        pipe.setStderr(kFdPipe, Pipe::appendTo(err));
        if (c.setUp)
            c.setUp(pipe);
        const auto start = std::chrono::steady_clock::now();
        std::string result;
        try {
            result = std::to_string(pipe.run());
        } catch (const corvo::SystemError& e) {
            result = std::string("SystemError ") + e.what();
        } catch (const std::exception& e) {
            result = e.what();
        }
        EXPECT_EQ(result, c.result);
        EXPECT_TRUE(out == c.out) << out.size() << " bytes on stdout";
        EXPECT_TRUE(err == c.err) << err.size() << " bytes on stderr";
        EXPECT_LE(largest, 1024U);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
        expectClean();
    }
    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
    EXPECT_GT(alarms, 0);
}

// Both engines start the program with the caller's mask, not their own SIGCHLD or SIGPIPE
// holds, and with SIGCHLD and SIGPIPE at their defaults whatever the caller had set.
TEST_F(PipeTest, BothEnginesStartChildrenWithTheCallersSignalState) {
    sigset_t user, previous;
    sigemptyset(&user);
    sigaddset(&user, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &user, &previous);
    struct sigaction ignore {}, saved{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved);
    Pipe pipe{Command(kChild, "signals")};
    std::string out;
    pipe.setStdout(kFdPipe, Pipe::appendTo(out));
    EXPECT_EQ(pipe.run(), 0);
    corvo::ExecCmd command(kChild);
    EXPECT_EQ(command.add("signals").run(), 0);
    sigaction(SIGPIPE, &saved, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    const std::string expected =
        "blocked " + std::to_string(SIGUSR1) + "\nSIGCHLD default\nSIGPIPE default\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(command.stdoutText(), expected);
}

// With every descriptor below 1100 taken, both engines' pipes lie above what select can
// watch (FD_SETSIZE, 1024).
TEST_F(PipeTest, BothEnginesWatchDescriptorsAboveTheSelectLimit) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit raised{std::max<rlim_t>(limit.rlim_cur, 2048), limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> filler;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fd < 1100;)
        filler.push_back(fd);
    Pipe pipe{Command(kChild, "cat")};
    std::string out;
    pipe.setStdin(kFdPipe, provide("through the pipeline"));
    pipe.setStdout(kFdPipe, Pipe::appendTo(out));
    EXPECT_EQ(pipe.run(), 0);
    corvo::ExecCmd command(kChild);
    command.add("text").add("through the engine");
    EXPECT_EQ(command.runNoThrow(), 0);
    for (const int fd : filler)
        close(fd);
    close(1100);
    setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_EQ(out, "through the pipeline");
    EXPECT_EQ(command.stdoutText(), "through the engine");
}

// A kept descriptor (a lock) is held for as long as the program runs, after the tool has
// closed its own, and given up when the program ends; the program itself never has it.
TEST_F(PipeTest, AKeptDescriptorLastsAsLongAsTheProgramAndIsNotTheProgramsOwn) {
    char path[] = "/tmp/kept-lock-XXXXXX";
    int lock = mkostemp(path, O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    const auto lockable = [&path] {
        const int other = open(path, O_RDONLY | O_CLOEXEC);
        const bool free = flock(other, LOCK_EX | LOCK_NB) == 0;
        close(other);
        return free;
    };
    Command command(kChild, "fds", "sleep", "300");
    command.keptDescriptor = lock;
    Pipe pipe{command};
    std::string fds;
    std::string whileRunning;
    pipe.setStdin(kFdDevNull);
    pipe.setStdout(kFdPipe, [&](const std::vector<char>& chunk) {
        fds.append(chunk.data(), chunk.size());
        if (whileRunning.empty()) {
            close(lock); // the tool's own hold ends here
            whileRunning = lockable() ? "free" : "held";
        }
    });
    EXPECT_EQ(pipe.run(), 0);
    const bool freed = lockable();
    unlink(path);
    EXPECT_EQ(whileRunning, "held");
    EXPECT_TRUE(freed) << "the lock outlived the run";
    EXPECT_EQ((" " + fds).find(" " + std::to_string(lock) + " "), std::string::npos)
        << "the program holds the kept descriptor " << lock << ": " << fds;
}

} // namespace
