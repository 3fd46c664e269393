// Switching a forked child to another user's account before its program starts: groups,
// group id, user id, and on request the home directory.
//
// Guarantees: the switch is complete or the process ends; the ids are set in the order that
// lets each step still be allowed (groups and group id while the process is root, the user id
// last). It looks the account up in the user database, which may allocate and open files:
// only a forked child may call it, never one that shares the tool's memory.
//
// DIAGNOSTICS: every failure ends the process through message_exit with status 1 and a
// text naming the step; switchToUser reports an unknown user with message_warning and goes
// on unswitched. Both texts are part of the output the parent collects.
#pragma once

namespace fork_exec {

// Flags of p_setuid.
constexpr int P_SETUID_CHDIR = 1;      // change to the user's home directory first
constexpr int P_SETUID_ALLOW_ROOT = 2; // accept user id 0
constexpr int P_SETUID_CHROOT = 4;     // change the root directory to the home directory

// Switches the process to user's account (groups, group id, user id). Returns only on
// success.
void p_setuid(const char* user, int flags);

// The switch of a command run as user: an unknown user is reported and counts as root, and
// root means no switch; any other user is switched to with p_setuid, in its home directory
// when changeToHome is set.
void switchToUser(const char* user, bool changeToHome);

} // namespace fork_exec
