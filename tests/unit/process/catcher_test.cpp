// The child-exit catcher with children forked here: one notification byte per ended
// registered child, none for a stopped one or for a child nobody registered.
#include "lib/process/lib/ProcessSetCatcher.hpp"
#include "tests/unit/process/leak_checks.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

using corvo::process::ProcessSetCatcher;
using leak_checks::hasChildren;
using leak_checks::openDescriptors;

namespace {

// Forks a child that runs body and exits 0; registers it (when a catcher is given) before
// SIGCHLD can tell of it. Each test holds its catcher as a local, so that the fixture's
// checks run after the catcher has gone.
template <typename Body> pid_t spawn(ProcessSetCatcher* catcher, Body body) {
    sigset_t childSignal;
    sigset_t previous;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childSignal, &previous);
    const pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        body();
        _exit(0);
    }
    if (catcher != nullptr) {
        catcher->add(pid);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return pid;
}

template <typename Condition> bool eventually(Condition condition) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The handler interrupts poll itself: retry until the time is up.
bool notified(const ProcessSetCatcher& catcher, int milliseconds) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    pollfd watch{catcher.notificationDescriptor(), POLLIN, 0};
    int result;
    while ((result = poll(&watch, 1, 1)) == 0 || (result < 0 && errno == EINTR)) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
    }
    return result == 1;
}

void waitForever() {
    for (;;) {
        pause();
    }
}

class CatcherTest : public ::testing::Test {
protected:
    void SetUp() override { before_ = openDescriptors(); }
    void TearDown() override {
        EXPECT_EQ(openDescriptors(), before_);
        EXPECT_FALSE(hasChildren());
        struct sigaction action {};
        sigaction(SIGCHLD, nullptr, &action);
        EXPECT_EQ(action.sa_handler, SIG_DFL); // the previous action is back
    }

    std::set<std::string> before_;
};

TEST_F(CatcherTest, InstallsOnlyOnce) {
    ProcessSetCatcher catcher_;
    catcher_.install();
    struct sigaction action {};
    sigaction(SIGCHLD, nullptr, &action);
    EXPECT_EQ(action.sa_flags & (SA_NOCLDSTOP | SA_SIGINFO), SA_NOCLDSTOP | SA_SIGINFO);
    ProcessSetCatcher second;
    try {
        second.install();
        ADD_FAILURE() << "second catcher installed";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "ProcessSetCatcher instance has been installed already");
    }
    catcher_.uninstall();
    second.install();
    second.uninstall();
}

TEST_F(CatcherTest, ReportsEndedChildNotStoppedOne) {
    ProcessSetCatcher catcher_;
    catcher_.install();
    const pid_t pid = spawn(&catcher_, waitForever);
    kill(pid, SIGSTOP);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOWAIT), 0);
    EXPECT_FALSE(notified(catcher_, 200));
    EXPECT_EQ(catcher_.drain(), 0U);
    EXPECT_EQ(catcher_.lookup(pid)->ended, 0);
    EXPECT_EQ(catcher_.lookup(pid)->status, -1);

    kill(pid, SIGKILL);
    ASSERT_TRUE(notified(catcher_, 5000));
    EXPECT_EQ(catcher_.drain(), 1U);
    const auto child = catcher_.lookup(pid);
    ASSERT_TRUE(child && child->ended == 1);
    EXPECT_TRUE(WIFSIGNALED(child->status) && WTERMSIG(child->status) == SIGKILL);
    EXPECT_FALSE(catcher_.lookup(pid + 100000));
    catcher_.uninstall();
}

TEST_F(CatcherTest, CountsChildrenEndingTogether) {
    ProcessSetCatcher catcher_;
    catcher_.install();
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    auto waitForGate = [&gate] {
        close(gate[1]);
        char byte;
        while (read(gate[0], &byte, 1) > 0) {
        }
    };
    const pid_t first = spawn(&catcher_, waitForGate);
    const pid_t second = spawn(&catcher_, waitForGate);
    close(gate[0]);
    close(gate[1]); // both see end of file at once
    ASSERT_TRUE(eventually(
        [&] { return catcher_.lookup(first)->ended == 1 && catcher_.lookup(second)->ended == 1; }));
    EXPECT_EQ(catcher_.drain(), 2U);
    EXPECT_EQ(catcher_.drain(), 0U);
    EXPECT_EQ(catcher_.lookup(second)->status, 0);
    catcher_.uninstall();
}

TEST_F(CatcherTest, RefusesToUninstallWhileChildRunsUnlessForced) {
    ProcessSetCatcher catcher_;
    catcher_.install();
    const pid_t pid = spawn(&catcher_, waitForever);
    try {
        catcher_.uninstall();
        ADD_FAILURE() << "uninstalled with a child running";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "there're some child processes still running");
    }
    catcher_.uninstall(true);
    EXPECT_FALSE(catcher_.isInstalled());
    kill(pid, SIGKILL);
    EXPECT_EQ(waitpid(pid, nullptr, 0), pid); // the catcher no longer reaps
}

TEST_F(CatcherTest, ReapsUnregisteredChildSilently) {
    ProcessSetCatcher catcher_;
    catcher_.install();
    const pid_t pid = spawn(nullptr, [] {});
    EXPECT_TRUE(eventually([] { return !hasChildren(); }));
    EXPECT_FALSE(notified(catcher_, 100));
    EXPECT_EQ(catcher_.drain(), 0U);
    EXPECT_FALSE(catcher_.lookup(pid));
    catcher_.uninstall();
}

} // namespace
