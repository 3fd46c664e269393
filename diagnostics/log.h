// Console logger and the message-and-exit routine of the lower layers.
//
// log_message prints printf-style messages whose syslog level is at or below the
// threshold (6, information) on standard error and standard output, each followed by a
// newline. message_exit prints a message with the current system error attached and,
// for a non-zero status, ends the process with that status at once: it is how the
// procedural layer fails when the environment is broken (no pipes, no memory, an
// ownership change refused), bypassing the entry's exception handler. message_warning
// prints the same way and returns: a condition the caller reports and then gets past.
//
// DIAGNOSTICS: the logger and message_warning never fail towards their caller.
// message_exit with a non-zero status never returns. format_alloc ends the process when
// memory runs out; string_array_append logs and returns null.
#pragma once

#include <cstdarg>

// Entry points of the logger; bound at start to the console implementation. All callers go
// through the pointers.
using log_message_fn = void (*)(int level, const char* format, ...);
using log_message_v_fn = void (*)(int level, const char* format, va_list args);
extern log_message_fn log_message;
extern log_message_v_fn log_message_v;

// From the call on, every console line of the logger, message_exit and message_warning goes
// to standard error only, so that standard output carries nothing but the caller's own
// report. The tool never calls it: it prints those lines on both streams.
void log_console_to_stderr_only();

// Prints the message (and "\nSystem error %d: %s" when errno was set on entry) on standard
// error and then on standard output, each ending in one newline. Status 0 returns (write
// message_warning for that); any other status calls exit(status).
void message_exit(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Prints exactly what message_exit(0, ...) prints, system log copy included, and returns.
void message_warning(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Returns a malloc'ed formatted text; ends the process with status 1 when memory runs out.
char* format_alloc(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends a strdup'ed copy of text to a null-terminated array of malloc'ed texts (null is an
// empty array) and returns the grown array. On failure logs "System error: ..." at level 3
// and returns null; the old array stays valid unless copying the text failed, in which
// case it has been released.
char** string_array_append(char** array, const char* text);

// Releases every text up to the terminator, then the array; null is ignored.
void string_array_free(char** array);
