// Making a descriptor non-blocking: the one place that sets O_NONBLOCK on an open
// descriptor's file status flags, keeping the flags it has.
//
// DIAGNOSTICS: set_nonblocking returns 0, or the errno of the fcntl that failed (errno holds
// it too); an interrupted fcntl is repeated. The caller decides what a failure means: the
// fork and exec engine ends the process, the pipeline engine raises, the child-exit
// catcher unwinds its installation.
#pragma once

// Adds O_NONBLOCK to fd's file status flags.
int set_nonblocking(int fd);
