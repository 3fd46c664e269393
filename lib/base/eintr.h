// Repeating a system call that a signal interrupted.
//
// retry_eintr(call) runs call() and runs it again for as long as it fails with EINTR, then
// returns what the last run returned, with errno as that run left it. A run fails when it
// returns a negative number, the way the C library reports a failed call (-1).
//
// DIAGNOSTICS: none of its own; the caller reads the result and errno of the last run and
// decides what a failure means (end the process, raise, or return it).
#pragma once

#include <cerrno>

template <typename Call> auto retry_eintr(Call call) -> decltype(call()) {
    decltype(call()) result;
    while ((result = call()) < 0 && errno == EINTR) {
    }
    return result;
}
