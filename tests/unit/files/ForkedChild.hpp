// Runs a piece of a test in a forked child: the child's standard error is captured, its
// standard output discarded, and the text its body returns comes back through a pipe.
// Used where the code under test ends the process, changes process-wide state for good,
// or must see private mounts.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <functional>
#include <string>

struct ChildOutcome {
    int status;         // raw wait status
    std::string answer; // the body's result, or "exception: <what>"
    std::string errors; // everything written to standard error
};

inline std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

inline ChildOutcome runInChild(const std::function<std::string()>& body) {
    int answerPipe[2];
    int errorPipe[2];
    if (pipe(answerPipe) != 0 || pipe(errorPipe) != 0) {
        return {-1, "pipe failed", ""};
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(answerPipe[0]);
        close(errorPipe[0]);
        dup2(errorPipe[1], STDERR_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        std::string answer;
        int code = 0;
        try {
            answer = body();
        } catch (const std::exception& e) {
            answer = std::string("exception: ") + e.what();
            code = 4;
        }
        ssize_t written = write(answerPipe[1], answer.data(), answer.size());
        _exit(written == static_cast<ssize_t>(answer.size()) ? code : 3);
    }
    close(answerPipe[1]);
    close(errorPipe[1]);
    ChildOutcome outcome{};
    // The answer is written last and is small, so reading the errors first cannot block.
    outcome.errors = readAll(errorPipe[0]);
    outcome.answer = readAll(answerPipe[0]);
    waitpid(pid, &outcome.status, 0);
    return outcome;
}

inline bool exitedWith(const ChildOutcome& outcome, int code) {
    return WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == code;
}
