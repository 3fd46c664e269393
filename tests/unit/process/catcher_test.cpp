// The child-exit catcher with children forked here: one notification byte per ended
// registered child, none for a stopped one or for a child nobody registered.
#include "lib/process/lib/ProcessSetCatcher.hpp"
#include "tests/unit/process/leak_checks.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <poll.h>
#include <stdexcept>
#include <thread>

using corvo::process::ProcessSetCatcher;

namespace {

// A child that waits until it is killed.
pid_t spawn() {
    const pid_t pid = fork();
    while (pid == 0)
        pause();
    return pid;
}

template <typename Condition> bool eventually(Condition condition, int milliseconds = 5000) {
    for (int waited = 0; !condition(); waited += 5) {
        if (waited > milliseconds)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool notified(const ProcessSetCatcher& catcher, int milliseconds) {
    pollfd watch{catcher.notificationDescriptor(), POLLIN, 0};
    return eventually([&] { return poll(&watch, 1, 0) == 1; }, milliseconds);
}

// Each test holds its catcher as a local, so the checks run after the catcher has gone.
using CatcherTest = leak_checks::LeakChecked;

TEST_F(CatcherTest, InstallsOnceAndUninstallsOnlyWithoutRunningChildrenUnlessForced) {
    ProcessSetCatcher catcher;
    catcher.install();
    ProcessSetCatcher second;
    EXPECT_THROW(second.install(), std::logic_error);
    const pid_t pid = spawn();
    catcher.add(pid);
    EXPECT_THROW(catcher.uninstall(), std::logic_error);
    catcher.uninstall(true);
    kill(pid, SIGKILL);
    EXPECT_EQ(waitpid(pid, nullptr, 0), pid); // the catcher no longer reaps
    second.install();
    second.uninstall();
}

TEST_F(CatcherTest, ReportsEndedChildNotStoppedOne) {
    ProcessSetCatcher catcher;
    catcher.install();
    const pid_t pid = spawn();
    catcher.add(pid);
    kill(pid, SIGSTOP);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOWAIT), 0);
    EXPECT_FALSE(notified(catcher, 200));
    kill(pid, SIGKILL);
    ASSERT_TRUE(notified(catcher, 5000));
    EXPECT_EQ(catcher.drain(), 1U);
    const auto child = catcher.lookup(pid);
    ASSERT_TRUE(child && child->ended == 1);
    EXPECT_EQ(child->status, W_EXITCODE(0, SIGKILL));
    catcher.uninstall();
}

// Their SIGCHLDs merge into one; the unregistered child is reaped but not counted.
TEST_F(CatcherTest, CountsRegisteredChildrenEndingTogether) {
    ProcessSetCatcher catcher;
    catcher.install();
    const pid_t first = spawn();
    const pid_t second = spawn();
    const pid_t stranger = spawn();
    catcher.add(first);
    catcher.add(second);
    for (const pid_t pid : {first, stranger, second})
        kill(pid, SIGKILL);
    ASSERT_TRUE(eventually([] { return !leak_checks::hasChildren(); }));
    EXPECT_EQ(catcher.drain(), 2U);
    EXPECT_EQ(catcher.drain(), 0U);
    EXPECT_TRUE(catcher.lookup(first)->ended == 1 && catcher.lookup(second)->ended == 1);
    EXPECT_FALSE(catcher.lookup(stranger));
    catcher.uninstall();
}

} // namespace
