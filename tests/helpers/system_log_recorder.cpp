// Catches what a command sends to the system log, inside the sandbox:
//
//   system_log_recorder [--deaf] RECORD COMMAND [ARG...]
//
// Binds a datagram socket at RECORD.socket, bind-mounts it over /dev/log, runs COMMAND
// (standard streams and exit status passed through), and writes each record it receives
// to RECORD as one line: "FACILITY.PRIORITY IDENTIFIER[WHO]: MESSAGE", where WHO is "tool"
// for COMMAND's own process and "other" for any other sender (a forked child of the tool,
// postmap), and the time stamp is left out. A line feed or carriage return inside a record
// shows as \n or \r. Records are read while COMMAND runs and drained after it ends, before
// /dev/log is unmounted again. The tool drops a record that the queue cannot take at once,
// so the recorder runs in a network namespace of its own whose datagram queues hold
// kQueueLength records: a burst of records is never lost to scheduling.
//
// With --deaf it binds the socket and never reads it, as a log daemon that has stopped: the
// queue fills after the usual few records, and RECORD stays empty.
//
// Refuses to run (status 125) in the host's mount namespace, so that it can never cover the
// host's /dev/log.
#include <fcntl.h>
#include <poll.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

const char* const kQueueLength = "4096";

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "system_log_recorder: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(125);
}

std::string link_text(const char* path) {
    char target[256];
    const ssize_t length = ::readlink(path, target, sizeof target);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

const char* facility_name(int facility) {
    static const char* const names[] = {
        "kern",  "user",   "mail",   "daemon", "auth",   "syslog", "lpr",    "news",
        "uucp",  "cron",   "authpriv", "ftp",  "ntp",    "audit",  "alert",  "clock",
        "local0", "local1", "local2", "local3", "local4", "local5", "local6", "local7"};
    return facility >= 0 && facility < 24 ? names[facility] : "unknown";
}

const char* priority_name(int priority) {
    static const char* const names[] = {"emerg", "alert", "crit", "err", "warning", "notice",
                                        "info", "debug"};
    return names[priority & 7];
}

// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE" as one readable line.
std::string rendered(std::string_view record, pid_t command) {
    int code = -1;
    if (record.size() > 2 && record[0] == '<') {
        const std::size_t close = record.find('>');
        if (close != std::string_view::npos && close > 1) {
            code = std::atoi(std::string(record.substr(1, close - 1)).c_str());
            record.remove_prefix(close + 1);
        }
    }
    std::string line = code < 0 ? "(no priority) "
                                : std::string(facility_name(code >> 3)) + "." +
                                      priority_name(code) + " ";
    if (record.size() >= 16 && record[3] == ' ' && record[9] == ':' && record[12] == ':' &&
        record[15] == ' ')
        record.remove_prefix(16);
    const std::size_t open = record.find('[');
    const std::size_t close = record.find("]: ");
    if (open != std::string_view::npos && close != std::string_view::npos && open < close) {
        const std::string pid(record.substr(open + 1, close - open - 1));
        line += std::string(record.substr(0, open + 1));
        line += std::atol(pid.c_str()) == command ? "tool" : "other";
        record.remove_prefix(close);
    }
    for (const char character : record)
        line += character == '\n' ? "\\n" : character == '\r' ? "\\r" : std::string(1, character);
    return line + "\n";
}

// Writes every record waiting on the socket; false once none is left.
bool take_records(int socket, int record_file, pid_t command) {
    static char buffer[65536];
    const ssize_t length = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (length < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return false;
        fail("recv");
    }
    const std::string line =
        rendered(std::string_view(buffer, static_cast<std::size_t>(length)), command);
    if (::write(record_file, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        fail("write record");
    return true;
}

} // namespace

// Longer datagram queues for the sockets made after this, in a network namespace of the
// recorder's own. Its loopback interface is brought up: postmap refuses to start on a host
// without an active interface.
void lengthen_queues() {
    if (::unshare(CLONE_NEWNET) != 0)
        fail("unshare network namespace");
    const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback{};
    std::strncpy(loopback.ifr_name, "lo", sizeof loopback.ifr_name - 1);
    if (control < 0 || ::ioctl(control, SIOCGIFFLAGS, &loopback) != 0)
        fail("loopback flags");
    loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP);
    if (::ioctl(control, SIOCSIFFLAGS, &loopback) != 0)
        fail("loopback up");
    ::close(control);
    const int file = ::open("/proc/sys/net/unix/max_dgram_qlen", O_WRONLY | O_CLOEXEC);
    const auto length = static_cast<ssize_t>(std::strlen(kQueueLength));
    if (file < 0 || ::write(file, kQueueLength, std::strlen(kQueueLength)) != length)
        fail("max_dgram_qlen");
    ::close(file);
}

int main(int argc, char** argv) {
    const bool deaf = argc > 1 && std::strcmp(argv[1], "--deaf") == 0;
    if (deaf) {
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: system_log_recorder [--deaf] RECORD COMMAND [ARG...]\n");
        return 125;
    }
    if (link_text("/proc/self/ns/mnt") == link_text("/proc/1/ns/mnt")) {
        std::fprintf(stderr, "system_log_recorder: not in a private mount namespace\n");
        return 125;
    }
    const std::string record_path = argv[1];
    const std::string socket_path = record_path + ".socket";

    const int record_file =
        ::open(record_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (record_file < 0)
        fail("open " + record_path);
    if (!deaf)
        lengthen_queues();
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket < 0)
        fail("socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        fail(socket_path);
    }
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    ::unlink(socket_path.c_str());
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        fail("bind " + socket_path);
    if (::mount(socket_path.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0)
        fail("bind-mount over /dev/log");

    const pid_t command = ::fork();
    if (command < 0)
        fail("fork");
    if (command == 0) {
        ::execv(argv[2], argv + 2);
        fail(std::string("exec ") + argv[2]);
    }
    const int process = static_cast<int>(::syscall(SYS_pidfd_open, command, 0));
    if (process < 0)
        fail("pidfd_open");
    pollfd watched[2] = {{deaf ? -1 : socket, POLLIN, 0}, {process, POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            fail("poll");
        }
        if (watched[0].revents != 0)
            while (take_records(socket, record_file, command)) {
            }
        if (watched[1].revents != 0)
            break;
    }
    int status = 0;
    while (::waitpid(command, &status, 0) < 0)
        if (errno != EINTR)
            fail("waitpid");
    // Everything the command sent is queued by now: a datagram is in the queue once send
    // returns.
    while (!deaf && take_records(socket, record_file, command)) {
    }
    if (::umount2("/dev/log", 0) != 0)
        fail("unmount /dev/log");
    ::unlink(socket_path.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
