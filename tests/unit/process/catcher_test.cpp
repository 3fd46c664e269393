// The child-exit catcher with children forked here: one notification byte per ended
// registered child, none for a stopped one or for a child nobody registered.
#include "lib/process/lib/ProcessSetCatcher.hpp"
#include "tests/unit/process/leak_checks.hpp"

#include <gtest/gtest.h>

#include <poll.h>

using corvo::process::ProcessSetCatcher;

namespace {

// A child that waits until it is killed.
pid_t spawn() {
    const pid_t pid = fork();
    while (pid == 0)
        pause();
    return pid;
}

// Whether a notification byte is there within the time.
bool notified(const ProcessSetCatcher& catcher, int milliseconds) {
    pollfd watch{catcher.notificationDescriptor(), POLLIN, 0};
    return poll(&watch, 1, milliseconds) == 1;
}

// Each test holds its catcher as a local, so the checks run after the catcher has gone. The
// forced uninstall of a failed pipeline run is seen by the pipeline tests' leak checks.
using CatcherTest = leak_checks::LeakChecked;

// A stopped child is not reported. Children that end while SIGCHLD is blocked leave one
// pending signal between them: the handler must reap them all on that one. The unregistered
// child is reaped but not counted.
TEST_F(CatcherTest, CountsEveryEndedChildOnOneCoalescedSignal) {
    ProcessSetCatcher catcher;
    catcher.install();
    const pid_t stopped = spawn();
    catcher.add(stopped);
    kill(stopped, SIGSTOP);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(stopped), &info, WSTOPPED | WNOWAIT), 0);
    EXPECT_FALSE(notified(catcher, 200));
    sigset_t childSignal, previous;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childSignal, &previous);
    const pid_t children[] = {stopped, spawn(), spawn()};
    const pid_t stranger = spawn();
    for (const pid_t pid : children)
        catcher.add(pid);
    for (const pid_t pid : {children[0], stranger, children[1], children[2]}) {
        kill(pid, SIGKILL); // wait until it has ended, without reaping it
        ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    }
    EXPECT_EQ(catcher.drain(), 0U);
    sigprocmask(SIG_SETMASK, &previous, nullptr); // the handler runs before this returns
    EXPECT_EQ(catcher.drain(), 3U);
    for (const pid_t pid : children)
        EXPECT_TRUE(catcher.lookup(pid) && catcher.lookup(pid)->ended == 1);
    EXPECT_EQ(catcher.lookup(stopped)->status, W_EXITCODE(0, SIGKILL));
    EXPECT_FALSE(catcher.lookup(stranger));
    EXPECT_FALSE(leak_checks::hasChildren());
    catcher.uninstall();
}

} // namespace
