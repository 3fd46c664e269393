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
#include <fstream>
#include <memory>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
// without SA_RESTART lands in select, read, write and the control-pipe read all along. The
// tool runs one command at a time, in its own environment and working directory, so a
// pipeline of several, those settings and an exit function have no rows here; a command
// killed by a signal is shown end to end (postmap-killed).
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
        {"reader gone", Command(kChild, "closein", "sleep", "3000"),
         [](Pipe& p) { p.setStdin(kFdPipe, provide(std::string(8 << 20, 'x'))); },
         "SystemError write: " + std::string(std::strerror(EPIPE)), "", ""},
        // A pre-exec function is the caller's code: it runs in a forked child of its own,
        // whose environment it may change.
        {"pre-exec function", Command(kChild, "env", "CORVO_PRE_EXEC"),
         [](Pipe& p) { p.preExec = +[] { setenv("CORVO_PRE_EXEC", "ran", 1); }; }, "0", "ran\n",
         ""},
        // The stray descriptor the fixture holds open would show without the flag.
        {"other descriptors closed", Command(kChild, "fds"),
         [](Pipe& p) { p.closeOtherDescriptors = true; }, "0", "0 1 2 ", ""},
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
// holds, and with SIGCHLD and SIGPIPE at their defaults whatever the caller had set. With
// every descriptor below 1100 taken, their pipes lie above what select can watch (1024).
TEST_F(PipeTest, BothEnginesStartChildrenWithTheCallersSignalsAndPipesAboveTheSelectLimit) {
    sigset_t user, previous;
    sigemptyset(&user);
    sigaddset(&user, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &user, &previous);
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit raised{std::max<rlim_t>(limit.rlim_cur, 2048), limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> filler;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fd < 1100;)
        filler.push_back(fd);
    Pipe pipe{Command(kChild, "cat", "signals")};
    std::string out;
    pipe.setStdin(kFdPipe, provide("through the pipeline\n"));
    pipe.setStdout(kFdPipe, Pipe::appendTo(out));
    EXPECT_EQ(pipe.run(), 0);
    corvo::ExecCmd command(kChild);
    command.setStdinText("through the engine\n");
    EXPECT_EQ(command.add("cat").add("signals").runNoThrow(), 0);
    for (const int fd : filler)
        close(fd);
    close(1100);
    setrlimit(RLIMIT_NOFILE, &limit);
    sigaction(SIGPIPE, &saved, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    const std::string state =
        "blocked " + std::to_string(SIGUSR1) + "\nSIGCHLD default\nSIGPIPE default\n";
    EXPECT_EQ(out, "through the pipeline\n" + state);
    EXPECT_EQ(command.stdoutText(), "through the engine\n" + state);
}

// A script without "#!" is run through /bin/sh by the program search's fallback, which
// puts an array of every argument pointer on the child's stack: with 10,000 arguments that
// is 80 KB, more than a fixed stack for the child's own steps holds. Both engines size the
// stack from the arguments, so the script runs and the tool lives; the pipeline engine runs a
// program named by its path without the search, and the script is refused there.
TEST_F(PipeTest, BothEnginesRunAScriptWithoutInterpreterLineWithTenThousandArguments) {
    char directory[] = "/tmp/corvo-script-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string script = std::string(directory) + "/corvo-plain-script";
    {
        std::ofstream text(script);
        text << "echo \"$# ${10000}\"\n";
    }
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    const std::string path = getenv("PATH");
    setenv("PATH", (std::string(directory) + ":" + path).c_str(), 1);
    std::vector<std::string> arguments(9999, "x");
    arguments.push_back("last");

    corvo::ExecCmd command(script);
    for (const std::string& argument : arguments)
        command.add(argument);
    EXPECT_EQ(command.runNoThrow(), 0);
    EXPECT_EQ(command.stdoutText(), "10000 last\n");

    const std::pair<std::string, std::string> runs[] = {
        {"corvo-plain-script", "0 10000 last\n"},
        {script, "SystemError execv: " + std::string(std::strerror(ENOEXEC))},
    };
    for (const auto& [program, expected] : runs) {
        SCOPED_TRACE(program);
        Command plain(program);
        plain.argv.insert(plain.argv.end(), arguments.begin(), arguments.end());
        Pipe pipe{plain};
        std::string out;
        pipe.setStdout(kFdPipe, Pipe::appendTo(out));
        std::string result;
        try {
            result = std::to_string(pipe.run()) + " " + out;
        } catch (const corvo::SystemError& e) {
            result = std::string("SystemError ") + e.what();
        }
        EXPECT_EQ(result, expected);
    }
    setenv("PATH", path.c_str(), 1);
    unlink(script.c_str());
    rmdir(directory);
}

// Which way each engine starts a child: sharing the tool's memory when the child runs none
// of the caller's code, forked when it does (a pre-exec function, a user switch). A fork
// leaves every page of the tool copy-on-write, so rewriting a 16 MiB buffer afterwards costs
// a fault per page; a child that shared the memory leaves it writable. And a pre-exec
// function's write to the caller's variable stays in its forked copy.
TEST_F(PipeTest, BothEnginesShareMemoryOnlyWithChildrenThatRunNoCodeOfTheCaller) {
    static int written = 0;
    constexpr std::size_t kSize = 16 << 20;
    const long pages = static_cast<long>(kSize / static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
    void* mapped = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    madvise(mapped, kSize, MADV_NOHUGEPAGE);
    auto* buffer = static_cast<volatile char*>(mapped);
    const auto faultsOnRewrite = [&] {
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        for (std::size_t at = 0; at < kSize; at += 4096)
            buffer[at] = static_cast<char>(buffer[at] + 1);
        getrusage(RUSAGE_SELF, &after);
        return after.ru_minflt - before.ru_minflt;
    };
    const struct {
        const char* name;
        bool forked;
        int (*run)();
    } cases[] = {
        {"pipeline", false, [] { return Pipe{Command(kChild)}.run(); }},
        {"pipeline with a pre-exec function", true,
         [] {
             Pipe pipe{Command(kChild)};
             pipe.preExec = +[] { written = 1; };
             return pipe.run();
         }},
        {"sibling engine", false, [] { return corvo::ExecCmd(kChild).runNoThrow(); }},
        {"sibling engine with a user", true,
         [] {
             corvo::ExecCmd command(kChild);
             command.setUser("root");
             return command.runNoThrow();
         }},
    };
    faultsOnRewrite();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.run(), 0);
        const long faults = faultsOnRewrite();
        if (c.forked)
            EXPECT_GT(faults, pages / 2);
        else
            EXPECT_LT(faults, pages / 8);
    }
    EXPECT_EQ(written, 0);
    munmap(mapped, kSize);
}

// Whether another open file description of the file at path gets its lock at once.
bool lockable(const char* path) {
    const int other = open(path, O_RDONLY | O_CLOEXEC);
    const bool free = flock(other, LOCK_EX | LOCK_NB) == 0;
    close(other);
    return free;
}

// A kept descriptor (a lock) is held for as long as the program runs, after the tool has
// closed its own, and given up when the program ends; the program itself never has it.
TEST_F(PipeTest, AKeptDescriptorLastsAsLongAsTheProgramAndIsNotTheProgramsOwn) {
    char path[] = "/tmp/kept-lock-XXXXXX";
    int lock = mkostemp(path, O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
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
            whileRunning = lockable(path) ? "free" : "held";
        }
    });
    EXPECT_EQ(pipe.run(), 0);
    const bool freed = lockable(path);
    unlink(path);
    EXPECT_EQ(whileRunning, "held");
    EXPECT_TRUE(freed) << "the lock outlived the run";
    EXPECT_EQ((" " + fds).find(" " + std::to_string(lock) + " "), std::string::npos)
        << "the program holds the kept descriptor " << lock << ": " << fds;
}

// A program that ends at once, or never starts, may be gone before its keeper has looked
// for it: the keeper then ends on its own, and the lock is free when run returns. Repeated,
// so that both orders of that race are taken.
TEST_F(PipeTest, AKeptDescriptorIsGivenUpWhenTheProgramEndsAtOnceOrCannotStart) {
    char path[] = "/tmp/kept-lock-XXXXXX";
    const int file = mkostemp(path, O_CLOEXEC);
    ASSERT_GE(file, 0);
    close(file);
    for (int round = 0; round < 200; ++round) {
        const bool starts = round % 2 == 0;
        const int lock = open(path, O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(flock(lock, LOCK_EX), 0);
        Command command = starts ? Command(kChild, "exit", "0") : Command("/nonexistent/program");
        command.keptDescriptor = lock;
        Pipe pipe{command};
        pipe.setStdin(kFdDevNull);
        std::string ended;
        try {
            ended = std::to_string(pipe.run());
        } catch (const corvo::SystemError& error) {
            ended = error.what();
        }
        close(lock);
        const bool free = lockable(path);
        ASSERT_EQ(ended, starts ? "0" : "execv: " + std::string(std::strerror(ENOENT)));
        ASSERT_TRUE(free) << "round " << round << ": the lock outlived the run";
        expectClean();
    }
    unlink(path);
}

} // namespace

// Commands with outputs of their own run side by side: each writes where it was told, the
// one after reads nothing, and every command's status reaches the exit function.
TEST_F(PipeTest, CommandsWithOutputsOfTheirOwnRunSideBySide) {
    const auto file = [] {
        const int fd = memfd_create("output", MFD_CLOEXEC);
        EXPECT_GE(fd, 0);
        return fd;
    };
    const int first = file(), second = file(), input = file();
    ASSERT_EQ(pwrite(input, "keys", 4, 0), 4);
    Command writer(kChild, "text", "first");
    writer.ownStdout = first;
    Command reader(kChild, "cat", "exit", "3");
    reader.ownStdin = input;
    reader.ownStdout = second;
    Command empty(kChild, "cat");
    empty.ownStdout = file();
    Pipe pipe{writer};
    pipe.add(reader).add(empty);
    pipe.setStdin(kFdDevNull);
    std::string last;
    pipe.setStdout(kFdPipe, [&](const std::vector<char>& chunk) { last.append(chunk.data(), chunk.size()); });
    std::vector<int> statuses(3, -1);
    pipe.onExit = [&](std::size_t index, int status) { statuses.at(index) = status; };
    EXPECT_EQ(WEXITSTATUS(pipe.run()), 0);
    const auto contents = [](int fd) {
        char text[64] = {};
        const ssize_t got = pread(fd, text, sizeof text - 1, 0);
        close(fd);
        return std::string(text, got > 0 ? static_cast<std::size_t>(got) : 0);
    };
    EXPECT_EQ(contents(first), "first");
    EXPECT_EQ(contents(second), "keys");
    EXPECT_EQ(contents(empty.ownStdout), "");
    EXPECT_EQ(last, "");
    close(input);
    EXPECT_EQ(WEXITSTATUS(statuses[0]), 0);
    EXPECT_EQ(WEXITSTATUS(statuses[1]), 3);
    EXPECT_EQ(WEXITSTATUS(statuses[2]), 0);
}
