// The fork and exec engine and ExecCmd, driven through the helper child program. Every case
// checks afterwards that no descriptor leaked, no child is left unreaped and SIGPIPE is
// neither blocked nor pending in the test process.
#include "lib/process/lib/ExecCmd.hpp"
#include "lib/process/lib/fork_exec.h"

#include <gtest/gtest.h>

#include <cxxabi.h>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using corvo::ExecCmd;
using corvo::ExecCmdFailed;
using corvo::quoteArgument;

namespace {

const std::string kChild = CORVO_HELPERS_DIR "/child";
const std::string kNoSuchProgram = "/nonexistent/corvo-no-such-program";
const std::string kExecFailure = std::string("forkExecvPipes: execv() failed: ") +
                                 std::strerror(ENOENT) + "\n\nSystem error 2: " +
                                 std::strerror(ENOENT) + "\n";

std::string pattern(char first, std::size_t count) {
    std::string text(count, '\0');
    for (std::size_t index = 0; index < count; ++index)
        text[index] = static_cast<char>(first + static_cast<char>(index % 26));
    return text;
}

std::map<int, std::string> openDescriptors() {
    std::map<int, std::string> found;
    DIR* directory = opendir("/proc/self/fd");
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(directory))
            continue;
        char target[4096] = {};
        const std::string path = std::string("/proc/self/fd/") + entry->d_name;
        readlink(path.c_str(), target, sizeof target - 1);
        found[std::atoi(entry->d_name)] = target;
    }
    closedir(directory);
    return found;
}

std::unique_ptr<ExecCmd> childCommand(const std::vector<std::string>& arguments,
                                      const std::string& program = kChild) {
    auto command = std::make_unique<ExecCmd>(program);
    for (const std::string& argument : arguments)
        command->add(argument);
    return command;
}

class ChildRun : public ::testing::Test {
protected:
    void SetUp() override {
        // Open without close-on-exec: only closefrom keeps it from the child.
        stray_ = open("/dev/null", O_RDONLY);
        before_ = openDescriptors();
    }
    void TearDown() override {
        EXPECT_EQ(before_, openDescriptors()) << "a descriptor leaked";
        errno = 0;
        EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
        EXPECT_EQ(ECHILD, errno) << "a child was left unreaped";
        sigset_t mask;
        sigset_t pending;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        sigpending(&pending);
        EXPECT_EQ(0, sigismember(&mask, SIGPIPE));
        EXPECT_EQ(0, sigismember(&pending, SIGPIPE));
        close(stray_);
    }

private:
    int stray_ = -1;
    std::map<int, std::string> before_;
};

struct RunCase {
    const char* name;
    std::vector<std::string> arguments;
    std::size_t stdinBytes;
    int returnCode;
    std::string stdoutText;
    std::string stderrText;
    std::string program = kChild;
};

TEST_F(ChildRun, RunsChildrenOnEveryPath) {
    const RunCase cases[] = {
        {"success", {"text", "out", "errtext", "err", "exit", "0"}, 0, 0, "out", "err"},
        {"exit status", {"exit", "42"}, 0, 42, "", ""},
        {"stdin unread", {"exit", "3"}, 8 << 20, 3, "", ""},
        {"stdin closed early", {"closein", "sleep", "100", "exit", "4"}, 1 << 20, 4, "", ""},
        {"empty stdin", {"stdin"}, 0, 0, "0 cbf29ce484222325\n", ""},
        {"killed", {"text", "x", "signal", "9"}, 0, -1, "x", ""},
        {"terminated", {"signal", "15"}, 1 << 20, -1, "", ""},
        {"only 0-2 reach the child", {"fds"}, 0, 0, "0 1 2\n", ""},
        {"grandchild holds the pipes", {"grandchild", "1000", "text", "parent\n"}, 0, 0,
         "parent\ngrandchild\n", ""},
        {"missing program", {}, 0, 1, kExecFailure, kExecFailure, kNoSuchProgram},
    };
    for (const RunCase& each : cases) {
        SCOPED_TRACE(each.name);
        auto command = childCommand(each.arguments, each.program);
        command->setStdinText(std::string(each.stdinBytes, 's'));
        EXPECT_EQ(each.returnCode, command->exec());
        EXPECT_EQ(each.stdoutText, command->stdoutText());
        EXPECT_EQ(each.stderrText, command->stderrText());
        EXPECT_TRUE(command->finished());
    }
}

TEST_F(ChildRun, MovesMegabytesBothWaysWithoutDeadlock) {
    const std::size_t size = 3 << 20;
    std::string input(2 << 20, '\0');
    std::uint64_t hash = 14695981039346656037ULL;
    for (std::size_t index = 0; index < input.size(); ++index) {
        input[index] = static_cast<char>(index * 7 + index / 4096);
        hash = (hash ^ static_cast<unsigned char>(input[index])) * 1099511628211ULL;
    }
    auto command = childCommand({"both", std::to_string(size), "stdin"});
    command->setStdinText(input);
    ASSERT_EQ(0, command->exec());
    char line[64];
    std::snprintf(line, sizeof line, "%zu %016llx\n", input.size(),
                  static_cast<unsigned long long>(hash));
    EXPECT_TRUE(command->stdoutText() == pattern('a', size) + line);
    EXPECT_TRUE(command->stderrText() == pattern('A', size));
}

TEST_F(ChildRun, RaisingConsumerEndsAndReapsTheChild) {
    auto command = childCommand({"text", "x", "sleep", "20000"});
    const auto raise = [](const char*, std::size_t, void*) { throw std::runtime_error("stop"); };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(fork_exec::forkExecvGetOutErr(nullptr, raise, nullptr, kChild.c_str(),
                                               command->argv().data(), nullptr, false, {},
                                               nullptr, 4096, 4096, 4096),
                 std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(ChildRun, SwitchesUser) {
    const passwd* account = getpwnam("popuser");
    if (account == nullptr)
        GTEST_SKIP() << "needs the sandbox's popuser account";
    const std::string ids = std::to_string(account->pw_uid) + " " + std::to_string(account->pw_gid);
    const std::string home = account->pw_dir;
    char here[4096];
    ASSERT_NE(nullptr, getcwd(here, sizeof here));
    struct {
        const char* user;
        bool toHome;
        std::string expected;
    } const cases[] = {
        {"popuser", true, ids + " " + home + "\n"},
        {"popuser", false, ids + " " + here + "\n"},
        {"no-such-user", true, "Unable to getpwnam for user no-such-user"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.user);
        auto command = childCommand({"id"});
        command->setUser(each.user);
        command->setChangeToHome(each.toHome);
        EXPECT_EQ(0, command->exec()) << command->stdoutText();
        EXPECT_EQ(0u, command->stdoutText().find(each.expected)) << command->stdoutText();
    }
}

TEST(Closefrom, ClosesEveryDescriptorFromTheLowestUp) {
    struct {
        const char* name;
        int extra;
        rlim_t limit;
        int lowest;
    } const cases[] = {
        {"listing", 20, 0, 3},
        {"from the middle", 20, 0, 10},
        {"budget exhausted, closes from the limit down", 150, 512, 3},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        const pid_t child = fork();
        ASSERT_LE(0, child);
        if (child == 0) {
            if (each.limit != 0) {
                const rlimit limit{each.limit, each.limit};
                setrlimit(RLIMIT_NOFILE, &limit);
            }
            int highest = 0;
            for (int count = 0; count < each.extra; ++count)
                highest = dup(0);
            fork_exec::closefrom(each.lowest);
            bool right = true;
            for (int descriptor = 3; descriptor <= highest + 5; ++descriptor)
                right = right && (fcntl(descriptor, F_GETFD) >= 0) == (descriptor < each.lowest);
            _exit(right ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

TEST_F(ChildRun, PassesTheExactArgumentVector) {
    auto command = childCommand({"args", "a b", "", "x\ny"});
    command->add(std::string("nul\0tail", 8)).add("last");
    ASSERT_EQ(0, command->run());
    const std::string expected = kChild + '\0' + "args" + '\0' + "a b" + '\0' + '\0' + "x\ny" +
                                 '\0' + "nul" + '\0' + "last" + '\0';
    EXPECT_EQ(expected, command->stdoutText());
}

TEST_F(ChildRun, EnvironmentMapOverridesInheritedVariables) {
    setenv("CORVO_INHERITED", "inherited", 1);
    setenv("CORVO_REPLACED", "inherited", 1);
    auto command = childCommand({"env", "CORVO_INHERITED", "env", "CORVO_REPLACED", "env", "NEW"});
    command->setEnv("CORVO_REPLACED", "first");
    command->setEnv("CORVO_REPLACED", "second");
    command->setEnv("NEW", "");
    ASSERT_EQ(0, command->run());
    EXPECT_EQ("inherited\nsecond\n\n", command->stdoutText());
    unsetenv("CORVO_INHERITED");
    unsetenv("CORVO_REPLACED");
}

class Fields : public corvo::ExVisitor {
public:
    void tag(const char* text) override { seen += std::string("tag=") + text + ";"; }
    void function(const char* text) override { seen += std::string("function=") + text + ";"; }
    void file(const char* text) override { seen += std::string("file=") + text + ";"; }
    void line(std::uint32_t number) override { seen += "line=" + std::to_string(number) + ";"; }
    std::string seen;
};

TEST_F(ChildRun, RunReportsTheFailureWithEverythingTheChildWrote) {
    const std::string head = "Execution of " + quoteArgument(kChild);
    struct {
        std::vector<std::string> arguments;
        std::string stdinText;
        std::string report; // without the last-error section
    } const cases[] = {
        {{"exit", "5"}, "", head + " exit 5 failed with return code 5.\n"},
        {{"errtext", "oops", "exit", "1"}, "",
         head + " errtext oops exit 1 failed with return code 1.\nStderr is\noops\n"},
        {{"text", "done\n", "exit", "2"}, "in",
         head + " text done'\n' exit 2 failed with return code 2.\nStdin is\nin\nStdout is\ndone\n"},
        {{"text", "o", "errtext", "e", "signal", "9"}, "",
         head + " text o errtext e signal 9 failed with return code -1.\nStdout is\no\nStderr is\ne\n"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.report);
        auto command = childCommand(each.arguments);
        command->setStdinText(each.stdinText);
        try {
            command->run();
            ADD_FAILURE() << "run() returned";
        } catch (const ExecCmdFailed& failure) {
            const std::string lastError = command->lastError().empty()
                                              ? ""
                                              : "Last error is\n" + command->lastError() + "\n";
            EXPECT_EQ(each.report + lastError, failure.what());
            EXPECT_EQ(30u, failure.code());
            int status = 0;
            char* name = abi::__cxa_demangle(typeid(failure).name(), nullptr, nullptr, &status);
            EXPECT_STREQ("corvo::Exc<&corvo::ExecCmd::Failed, corvo::ExDefault>", name);
            std::free(name);
            Fields fields;
            failure.accept(fields);
            EXPECT_EQ("function=void corvo::ExecCmd::reportError() const;"
                      "file=lib/process/lib/ExecCmd;line=76;tag=ExecCmd::ExFailed;",
                      fields.seen);
        }
    }
}

TEST_F(ChildRun, RunNoThrowReturnsTheStatus) {
    EXPECT_EQ(7, childCommand({"exit", "7"})->runNoThrow());
    EXPECT_EQ(-1, childCommand({"signal", "9"})->runNoThrow());
    auto missing = childCommand({}, kNoSuchProgram);
    EXPECT_EQ(1, missing->runNoThrow());
    EXPECT_EQ(kExecFailure, missing->stderrText());
    EXPECT_EQ(0, childCommand({})->run());
}

TEST(QuoteArgument, EscapesShellSpecialBytesOnly) {
    const struct {
        std::string argument;
        std::string quoted;
    } cases[] = {
        {"", ""},
        {"plain-word_1.2/x", "plain-word_1.2/x"},
        {"a b", "a\\ b"},
        {"a\tb", "a\\\tb"},
        {"x\ny", "x'\n'y"},
        {"\"#$&'()*;<>?[\\`|~", "\\\"\\#\\$\\&\\'\\(\\)\\*\\;\\<\\>\\?\\[\\\\\\`\\|\\~"},
        {"!{}]^=%@,+:", "!{}]^=%@,+:"},
        {"\xc3\xa9\xff\x80", "\xc3\xa9\xff\x80"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.argument);
        EXPECT_EQ(each.quoted, quoteArgument(each.argument));
    }
}

TEST(CmdLine, WritesTheQuotedCommandLine) {
    corvo::CmdLine line("/bin/prog");
    line.add("").add("a b").add(std::string("x\ny")).add("last");
    EXPECT_EQ("/bin/prog '' a\\ b x'\n'y last", line.commandLineText());
    ASSERT_EQ(6u, line.argv().size());
    EXPECT_EQ(nullptr, line.argv().back());
}

} // namespace
