// The logger and the message routine as a process sees them: what reaches the two streams
// (standard error first, then standard output, here one file) and whether the call returns.
#include "diagnostics/log.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

namespace {

// The exit status of a child that ran call (77 when the call came back), and what it printed.
template <class Call> std::pair<int, std::string> run_in_child(Call call) {
    std::FILE* streams = std::tmpfile();
    std::fflush(nullptr); // else the child would print the runner's pending output again
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(streams), STDERR_FILENO);
        dup2(fileno(streams), STDOUT_FILENO);
        call();
        _exit(77);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::string printed;
    std::rewind(streams);
    for (int c; (c = std::fgetc(streams)) != EOF;)
        printed += static_cast<char>(c);
    std::fclose(streams);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, printed};
}

TEST(MessageExit, PrintsWholeMessageWithSystemErrorAndExitsOnlyForNonZeroStatus) {
    const std::string enoent = "\nSystem error 2: No such file or directory\n";
    const struct {
        const char* name;
        std::string text;
        int error;
        std::string printed; // on each stream
    } cases[] = {
        {"plain", "Unable to getpwnam for user x", 0, "Unable to getpwnam for user x\n"},
        {"own newline kept single", "closing: x\n", 0, "closing: x\n"},
        {"system error", "open", 2, "open" + enoent},
        {"one byte past the first buffer", std::string(4096, 'b'), 0,
         std::string(4096, 'b') + "\n"},
        {"suffix past it", std::string(4090, 'c'), 2, std::string(4090, 'c') + enoent},
        {"far past it", std::string(70000, 'd'), 2, std::string(70000, 'd') + enoent},
    };
    // -1 stands for message_warning, which must print what message_exit(0, ...) prints.
    for (const auto& c : cases) {
        for (const int status : {-1, 0, 3}) {
            SCOPED_TRACE(std::string(c.name) + ", status " + std::to_string(status));
            const auto [exit_status, printed] = run_in_child([&] {
                errno = c.error;
                if (status < 0)
                    message_warning("%s", c.text.c_str());
                else
                    message_exit(status, "%s", c.text.c_str());
            });
            EXPECT_EQ(exit_status, status > 0 ? status : 77);
            EXPECT_TRUE(printed == c.printed + c.printed) << printed.substr(0, 200);
        }
    }
}

TEST(LogMessage, ShowsLevelsUpToInformation) {
    const auto [exit_status, printed] = run_in_child([] {
        log_message(7, "debug");
        log_message(3, "System error: %s\n", "x");
    });
    EXPECT_EQ(printed, "System error: x\n\nSystem error: x\n\n");
}

} // namespace
