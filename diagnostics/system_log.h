// Copies of the tool's failure lines, and one line per successful run, in the system log.
//
// Operators look for mail trouble in the mail log, beside postmap's and Postfix's own lines,
// and the panel may discard what the tool prints. Once system_log_open has run, every
// failure text the diagnostics print is also handed to syslog(3): facility mail, identifier
// "mail-restore" with the process id, priority err, one record per non-empty line, so that a
// multi-line report (a command failure with the command's output) reads as consecutive
// records of one process. A report keeps its first system_log_max_lines lines and ends with
// a record that counts the rest; a line keeps its first system_log_max_line_bytes bytes and
// says how many more it had. The two output streams are never affected.
//
// Only the process that called system_log_open logs. A child forked from it that fails
// before exec prints into the pipes its parent reads, and the parent's own report of the
// failed command already holds that text.
//
// The records travel over the process's own non-blocking datagram socket to /dev/log, in
// the form syslog(3) gives them ("<PRI>Mmm dd hh:mm:ss mail-restore[PID]: text"). A log
// daemon that has stopped reading never holds the tool: a record that cannot be sent at
// once is dropped.
//
// DIAGNOSTICS: none towards the caller. When /dev/log is missing, nobody listens there or
// its queue is full, the records are lost and nothing else happens (nothing goes to the
// console).
#pragma once

#include <cstddef>

inline constexpr std::size_t system_log_max_lines = 40;
inline constexpr std::size_t system_log_max_line_bytes = 1000;

// Makes the calling process the one that logs, with identifier "mail-restore" and facility
// mail. The socket is made and connected at the first record, close-on-exec.
void system_log_open();

// Names what the run is about (the domain, once its document has been read): every failure
// record sent after this starts with the subject, a colon and a blank, so that the mail log
// can be searched by domain. An empty subject takes the prefix away again.
void system_log_set_subject(const char* subject);

// Nonzero when the calling process is the one system_log_open was called in.
int system_log_enabled();

// Sends text as records of priority err (see above); nothing when not enabled.
void system_log_failure(const char* text);

// Sends text as one record of priority info; nothing when not enabled.
void system_log_success(const char* text);

// Sends text as one record of priority warning, for a condition that delays a run without
// failing it; nothing when not enabled.
void system_log_warning(const char* text);

// The records system_log_failure sends for text, in order: calls emit once per record with a
// NUL-terminated line. Kept apart from the socket so that the splitting can be checked alone.
void system_log_records(const char* text, void (*emit)(void* context, const char* record),
                        void* context);
