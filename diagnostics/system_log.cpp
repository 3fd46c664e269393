// System log copies of the tool's diagnostics: see system_log.h.
//
// The socket is the process's own rather than syslog(3)'s, because syslog(3) sends with a
// blocking call: a log daemon that stops reading would hold every run on its last record.
// No socket exists before the first record, and a missing log socket costs the records and
// nothing else.
#include "diagnostics/system_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

const char* const kLogSocket = "/dev/log";
const char* const kIdentifier = "mail-restore";

// The process that logs; 0 until system_log_open. A forked child sees its parent's value
// and a different getpid().
pid_t logging_process = 0;
// The connected socket, or -1 before the first record and after a failed connection.
int log_socket = -1;

void close_log_socket() {
    if (log_socket >= 0)
        ::close(log_socket);
    log_socket = -1;
}

// Connects to /dev/log without waiting: a datagram socket, or a stream socket where the
// daemon listens on one (records then end with a NUL byte, as syslog(3) frames them).
bool connect_log_socket(int& type) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kLogSocket, sizeof address.sun_path - 1);
    for (const int kind : {SOCK_DGRAM, SOCK_STREAM}) {
        log_socket = ::socket(AF_UNIX, kind | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (log_socket < 0)
            return false;
        if (::connect(log_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
            0) {
            type = kind;
            return true;
        }
        const bool otherKind = errno == EPROTOTYPE;
        close_log_socket();
        if (!otherKind)
            return false;
    }
    return false;
}

// "<PRI>Mmm dd hh:mm:ss mail-restore[PID]: text", as syslog(3) writes it.
std::string framed(int priority, const char* text) {
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, "%h %e %T", &local);
    return "<" + std::to_string(LOG_MAIL | priority) + ">" + stamp + " " + kIdentifier + "[" +
           std::to_string(::getpid()) + "]: " + text;
}

// One attempt to hand the record over at once; a daemon that restarted gets one new
// connection. Whatever does not go out now is dropped.
void send_record(int priority, const char* text) {
    static int type = SOCK_DGRAM;
    std::string record = framed(priority, text);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (log_socket < 0 && !connect_log_socket(type))
            return;
        if (type == SOCK_STREAM)
            record.push_back('\0');
        const ssize_t sent =
            ::send(log_socket, record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(record.size()))
            return;
        if (type == SOCK_STREAM)
            record.pop_back();
        // A full queue drops this record only; a stream cut in the middle of a record, or a
        // peer that has gone, needs a new connection.
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) &&
            type == SOCK_DGRAM)
            return;
        close_log_socket();
        if (sent >= 0 || (errno != ECONNREFUSED && errno != ENOTCONN && errno != EPIPE &&
                          errno != ECONNRESET))
            return;
    }
}

// What the failure records are about; empty until the document has been read.
std::string subject;

void send_failure_record(void*, const char* record) {
    if (subject.empty())
        send_record(LOG_ERR, record);
    else
        send_record(LOG_ERR, (subject + ": " + record).c_str());
}

} // namespace

void system_log_open() { logging_process = getpid(); }

void system_log_set_subject(const char* text) {
    try {
        subject = text;
    } catch (...) {
        subject.clear();
    }
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
        system_log_records(text, send_failure_record, nullptr);
    } catch (...) {
    }
}

namespace {

// One record of its own, unless this is not the logging process; nothing escapes.
void send_single_record(int priority, const char* text) {
    if (!system_log_enabled())
        return;
    try {
        send_record(priority, text);
    } catch (...) {
    }
}

} // namespace

void system_log_success(const char* text) { send_single_record(LOG_INFO, text); }

void system_log_warning(const char* text) { send_single_record(LOG_WARNING, text); }
