// Console logger, message-and-exit routine and small allocation helpers.
//
// The logger writes each shown message to standard error and, unless the target says
// otherwise or log_console_to_stderr_only has run, to standard output, one newline after
// each. message_exit formats into a
// 4096-byte buffer that grows to the exact size, appends the system error noted on entry,
// prints on both streams and exits for a non-zero status (exit, so that stdio is flushed);
// message_warning is the same print without the exit. What any of them prints as a failure
// (a logger message of level 3 or more severe, every message_exit and message_warning
// text) also goes to the system log once system_log_open has run.
#include "diagnostics/log.h"

#include "diagnostics/system_log.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// Process-wide logger state; nothing in the tool changes it.
int log_threshold = 6;
// Levels at or below this one are failures (syslog's "err").
const int log_failure_level = 3;
const char* log_target = nullptr; // none: standard error and standard output
bool log_stderr_only = false;      // set for the check, whose standard output is its report

void console_log_v(int level, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

void console_log_v(int level, const char* format, va_list args) {
    if (level > log_threshold)
        return;
    if (log_target && strcasecmp(log_target, "console") != 0 && strcasecmp(log_target, "stderr") != 0)
        return;
    va_list copy;
    va_copy(copy, args);
    va_list for_log;
    va_copy(for_log, args);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    if (!log_stderr_only && (!log_target || strcasecmp(log_target, "console") == 0)) {
        std::vfprintf(stdout, format, copy);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    va_end(copy);
    if (level <= log_failure_level && system_log_enabled()) {
        char* text = nullptr;
        if (vasprintf(&text, format, for_log) >= 0) {
            system_log_failure(text);
            std::free(text);
        }
    }
    va_end(for_log);
}

void console_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

void console_log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    console_log_v(level, format, args);
    va_end(args);
}

void print_on_both_streams(const char* text) {
    const std::size_t length = std::strlen(text);
    const bool ends_in_newline = length > 0 && text[length - 1] == '\n';
    for (FILE* stream : {stderr, stdout}) {
        if (stream == stdout && log_stderr_only)
            break;
        std::fputs(text, stream);
        if (!ends_in_newline)
            std::fputc('\n', stream);
        std::fflush(stream);
    }
}

// Everything message_exit and message_warning print, given the errno noted on their entry.
void print_message_v(int error, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

void print_message_v(int error, const char* format, va_list args) {
    std::size_t size = 4096;
    char* text = static_cast<char*>(std::malloc(size));
    if (!text) {
        print_on_both_streams("Can't allocate memory for error message");
        system_log_failure("Can't allocate memory for error message");
        return;
    }
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(text, size, format, args);
    if (needed >= 0 && static_cast<std::size_t>(needed) >= size) {
        if (char* grown = static_cast<char*>(std::realloc(text, static_cast<std::size_t>(needed) + 1))) {
            text = grown;
            size = static_cast<std::size_t>(needed) + 1;
            std::vsnprintf(text, size, format, again);
        }
    }
    va_end(again);
    if (error != 0) {
        char suffix[512];
        const int suffix_length =
            std::snprintf(suffix, sizeof suffix, "\nSystem error %d: %s", error, std::strerror(error));
        const std::size_t used = std::strlen(text);
        const std::size_t total = used + static_cast<std::size_t>(suffix_length) + 1;
        if (total > size) {
            if (char* grown = static_cast<char*>(std::realloc(text, total))) {
                text = grown;
                size = total;
            }
        }
        std::snprintf(text + used, size - used, "%s", suffix);
    }
    print_on_both_streams(text);
    system_log_failure(text);
    std::free(text);
}

} // namespace

log_message_fn log_message = console_log;
log_message_v_fn log_message_v = console_log_v;

void log_console_to_stderr_only() {
    log_stderr_only = true;
}

void message_exit(int status, const char* format, ...) {
    const int error = errno;
    va_list args;
    va_start(args, format);
    print_message_v(error, format, args);
    va_end(args);
    if (status != 0)
        std::exit(status);
}

void message_warning(const char* format, ...) {
    const int error = errno;
    va_list args;
    va_start(args, format);
    print_message_v(error, format, args);
    va_end(args);
}

char* format_alloc(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* text = nullptr;
    const int result = vasprintf(&text, format, args);
    va_end(args);
    // The text repeats strerror(ENOMEM) after its own words: that is the tool's output.
    if (result < 0)
        message_exit(1, "Cannot allocate memory: %s", std::strerror(ENOMEM));
    return text;
}

char** string_array_append(char** array, const char* text) {
    std::size_t count = 0;
    while (array && array[count])
        ++count;
    // entries, the new one, the terminator and one spare slot
    const std::size_t slots = count + 3;
    char** grown = static_cast<char**>(std::realloc(array, slots * sizeof(char*)));
    // "\n" plus the logger's own newline leaves an empty line: that is the tool's output.
    if (!grown) {
        log_message(3, "System error: %s\n", std::strerror(errno));
        return nullptr;
    }
    char* copy = strdup(text);
    if (!copy) {
        log_message(3, "System error: %s\n", std::strerror(errno));
        grown[count] = nullptr;
        string_array_free(grown);
        return nullptr;
    }
    grown[count] = copy;
    grown[count + 1] = nullptr;
    grown[count + 2] = nullptr;
    return grown;
}

void string_array_free(char** array) {
    if (!array)
        return;
    for (char** entry = array; *entry; ++entry)
        std::free(*entry);
    std::free(array);
}
