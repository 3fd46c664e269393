// Closing every descriptor from a number up, but one: the closer that the tool's start, the
// fork and exec engine's child and the pipeline's child all use.
//
// close_from(lowest, keep) closes every open descriptor numbered lowest or above except keep
// (-1: none), by the first way that works: close_range around keep, where the kernel has
// it; else the listing of /proc/self/fd, when that listing can be trusted; else every number
// from the size of the descriptor table down.
//
// Guarantees: system calls only, with the listing read into a buffer on the stack: no heap,
// no lock, no stdio, so that a child that shares the tool's memory may call it between its
// start and its program. Descriptors below lowest and keep stay open; errno is kept.
//
// DIAGNOSTICS: none. A close that fails still releases its descriptor on Linux, so there is
// nothing to report.
#pragma once

void close_from(int lowest, int keep = -1);
