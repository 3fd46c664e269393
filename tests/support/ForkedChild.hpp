// Test helpers: a body run in a forked child, a private mount, the fixture of sandbox tests.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

struct ChildOutcome {
    int status;         // exit status, or 128 + the signal that ended the child
    std::string answer; // the body's result, or "exception: <what>" when it threw
    std::string errors; // everything written to standard error
    std::string output; // and to standard output
};

inline std::string contentsOf(FILE* file) {
    std::ifstream in("/proc/self/fd/" + std::to_string(fileno(file)));
    std::string text{std::istreambuf_iterator<char>(in), {}};
    std::fclose(file);
    return text;
}

// Runs body in a forked child, for code that ends the process, changes process-wide state
// for good, or must see private mounts.
inline ChildOutcome runInChild(const std::function<std::string()>& body) {
    FILE* answer = std::tmpfile();
    FILE* errors = std::tmpfile();
    FILE* output = std::tmpfile();
    std::fflush(nullptr); // else a child that calls exit() prints the runner's pending output
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(errors), STDERR_FILENO);
        dup2(fileno(output), STDOUT_FILENO);
        try {
            std::fputs(body().c_str(), answer);
        } catch (const std::exception& e) {
            std::fprintf(answer, "exception: %s", e.what());
        }
        _exit(std::fflush(answer) == 0 ? 0 : 3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), contentsOf(answer),
            contentsOf(errors), contentsOf(output)};
}

// Mounts source on target in mounts of the calling (forked) process's own; the sandbox's
// mounts are private already, so the new namespace shares nothing with the others.
inline void mountPrivately(const char* source, const char* target, const char* type,
                           unsigned long flags) {
    if (unshare(CLONE_NEWNS) != 0 || mount(source, target, type, flags, nullptr) != 0) {
        throw std::runtime_error(std::string("no private mount: ") + std::strerror(errno));
    }
}

class SandboxTest : public ::testing::Test {
    void SetUp() override {
        if (std::getenv("SANDBOX_SCRATCH") == nullptr) {
            GTEST_FAIL() << "uses the tool's fixed paths, private only inside tests/sandbox";
        }
    }
};
