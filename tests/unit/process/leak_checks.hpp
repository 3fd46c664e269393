// What every process test checks after each path: the descriptors the test process holds,
// whether it still has a child (ended or not), its SIGCHLD and SIGPIPE state; and the byte
// pattern the helper child writes.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace leak_checks {

// The entries of /proc/self/fd, the listing's own descriptor included.
inline std::set<std::string> openDescriptors() {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        found.insert(entry.path().filename());
    return found;
}

// Looks without reaping anything.
inline bool hasChildren() {
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// Byte i is first + i % 26, as the child's "both" action writes.
inline std::string pattern(char first, std::size_t count) {
    std::string text(count, '\0');
    for (std::size_t index = 0; index < count; ++index)
        text[index] = static_cast<char>(first + static_cast<char>(index % 26));
    return text;
}

// Holds a stray descriptor without close-on-exec: only closefrom keeps it from a child.
class LeakChecked : public ::testing::Test {
protected:
    void SetUp() override {
        stray_ = open("/dev/null", O_RDONLY);
        before_ = openDescriptors();
    }
    void TearDown() override {
        expectClean();
        close(stray_);
    }
    void expectClean() {
        EXPECT_EQ(before_, openDescriptors()) << "a descriptor leaked";
        EXPECT_FALSE(hasChildren()) << "a child was left";
        struct sigaction onChild {
        }, onPipe{};
        sigaction(SIGCHLD, nullptr, &onChild);
        sigaction(SIGPIPE, nullptr, &onPipe);
        EXPECT_TRUE(onChild.sa_handler == SIG_DFL && onPipe.sa_handler == SIG_DFL);
        sigset_t blocked, pending;
        pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
        sigpending(&pending);
        EXPECT_FALSE(sigismember(&blocked, SIGPIPE) || sigismember(&pending, SIGPIPE) ||
                     sigismember(&blocked, SIGCHLD));
    }
    int stray_ = -1;
    std::set<std::string> before_;
};

} // namespace leak_checks
