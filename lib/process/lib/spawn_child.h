// Starting a child without copying the tool's address space, and the small steps such a
// child may take.
//
// spawn_child runs a function in a new process that shares the caller's memory, on a stack
// of its own, and suspends the caller until the child has started its program or ended
// (clone with CLONE_VM and CLONE_VFORK, as vfork). The stack is mapped for each start, sized
// from what the child will put on it, with an inaccessible guard page below: a child that
// overran it would die of SIGSEGV on the guard page instead of writing over the tool.
// Nothing is copied, so a start costs the same whatever the tool's size, and the child pays
// no copy-on-write faults either. The price is discipline in the child: it shares every page
// of the tool, so between its start and its program it touches no heap, no stdio, no lock
// and no exception, and it leaves through _exit. Everything it needs (argument and
// environment vectors, paths, texts) is prepared before the spawn. The helpers below are the
// steps such a child may take, with place_streams.h and close_from.h.
//
// Signals: every signal is blocked in the caller around the spawn, so that no handler of
// the tool can run in the child; the child calls child_reset_signals before it unblocks
// any (the child has its own table of signal actions: CLONE_SIGHAND is not used).
//
// DIAGNOSTICS: spawn_child returns the child's process id with the caller's errno as it was
// (the child's system calls write the errno they share), or -1 with errno when the process
// or its stack cannot be created. The helpers return -1 with errno, or nothing.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>

// Marks the functions of a spawned child that end it (_exit, or a call that does). The
// sanitizers' bookkeeping before a call that does not return expects the thread's own
// stack, not the child's; what the child runs is plain system calls either way.
#define CHILD_ENDS_HERE __attribute__((no_sanitize("address", "undefined")))

// Runs body(argument) in a child that shares the caller's memory, or with fork when
// copy_memory is set (for a child that must allocate: a lookup in the user database, the
// caller's own code); signals are blocked around either start the same way. A shared child
// gets a stack of 64 KiB for its own steps and stack_need bytes more (exec_stack_need). The
// child's exit status is what body returns, or what it passes to _exit. The child ends with
// SIGCHLD to the caller.
pid_t spawn_child(int (*body)(void*), void* argument, bool copy_memory = false,
                  std::size_t stack_need = 0);

// What an exec of argv may put on the child's stack: the program search builds each
// candidate path there (at most PATH_MAX and a name), and its fallback for a script without
// "#!", which runs it through /bin/sh, an array of the argument pointers and two more.
std::size_t exec_stack_need(char* const* argv);

// In a spawned child: every caught signal, and SIGCHLD and SIGPIPE, back to the default
// action; then the signal mask set to mask.
void child_reset_signals(const sigset_t* mask);

// Writes all of text (length bytes), repeating on EINTR and after short writes; gives up
// silently on any other failure. The one whole-buffer write of this library: the tool
// uses it too, for a forked child's report.
void child_write(int fd, const char* text, std::size_t length);

// child_write of a NUL-terminated text.
void child_write_text(int fd, const char* text);

// Writes number in decimal, with a '-' when negative.
void child_write_decimal(int fd, int number);
