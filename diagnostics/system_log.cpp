// System log copies of the tool's diagnostics: see system_log.h.
//
// syslog(3) is opened without LOG_NDELAY, so no socket exists before the first record, and
// without LOG_CONS, so a missing log socket costs the records and nothing else.
#include "diagnostics/system_log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The process that logs; 0 until system_log_open. A forked child sees its parent's value
// and a different getpid().
pid_t logging_process = 0;

struct SyslogTarget {
    int priority;
};

void send_record(void* context, const char* record) {
    const auto* target = static_cast<const SyslogTarget*>(context);
    syslog(target->priority, "%s", record);
}

} // namespace

void system_log_open() {
    logging_process = getpid();
    openlog("mail-restore", LOG_PID, LOG_MAIL);
}

int system_log_enabled() { return logging_process != 0 && getpid() == logging_process ? 1 : 0; }

void system_log_records(const char* text, void (*emit)(void* context, const char* record),
                        void* context) {
    std::size_t sent = 0;
    std::size_t left_out = 0;
    std::string record;
    for (const char* line = text; *line != '\0';) {
        const char* end = std::strchr(line, '\n');
        const std::size_t length = end ? static_cast<std::size_t>(end - line) : std::strlen(line);
        if (length > 0) {
            if (sent == system_log_max_lines) {
                ++left_out;
            } else {
                const std::size_t kept = length < system_log_max_line_bytes
                                             ? length
                                             : system_log_max_line_bytes;
                record.assign(line, kept);
                // "bytes" and "lines" stay plural for a count of 1: that is the tool's output.
                if (kept < length)
                    record += " [... " + std::to_string(length - kept) + " more bytes]";
                emit(context, record.c_str());
                ++sent;
            }
        }
        line += length;
        if (*line == '\n')
            ++line;
    }
    if (left_out > 0) {
        record = "[... " + std::to_string(left_out) + " more lines]";
        emit(context, record.c_str());
    }
}

void system_log_failure(const char* text) {
    if (!system_log_enabled())
        return;
    // Nothing may escape into the diagnostics that called: a record that cannot be built
    // (no memory) is lost like one the log daemon never received.
    try {
        SyslogTarget target{LOG_ERR};
        system_log_records(text, send_record, &target);
    } catch (...) {
    }
}

void system_log_success(const char* text) {
    if (system_log_enabled())
        syslog(LOG_INFO, "%s", text);
}
