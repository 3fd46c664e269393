// Stand-in for /usr/sbin/postmap, bind-mounted over it by the table tests. In this order,
// an empty variable counting as unset: POSTMAP_STAND_IN_STDERR=TEXT writes TEXT on stderr,
// POSTMAP_STAND_IN_STDERR_BYTES=N then N bytes, byte i being 'a' + i % 26;
// POSTMAP_STAND_IN_LOG=PATH appends the arguments joined by blanks, "\n", all of stdin and,
// with POSTMAP_STAND_IN_LOCK=PATH, "free\n", "locked\n" or "no lock file\n" for the flock
// of PATH; POSTMAP_STAND_IN_SIGNAL=N ends by signal N; POSTMAP_STAND_IN_EXIT=N exits with N.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

static std::size_t numberFrom(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::strtoul(value, nullptr, 10) : 0;
}

int main(int argc, char** argv) {
    const char* text = std::getenv("POSTMAP_STAND_IN_STDERR");
    std::string bytes(numberFrom("POSTMAP_STAND_IN_STDERR_BYTES"), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>('a' + i % 26);
    std::cerr << (text != nullptr ? text : "") << bytes << std::flush;
    std::string entry;
    for (int i = 1; i < argc; ++i)
        entry += argv[i] + std::string(i + 1 < argc ? " " : "\n");
    entry += std::string(std::istreambuf_iterator<char>(std::cin), {});
    if (const char* lock = std::getenv("POSTMAP_STAND_IN_LOCK"); lock != nullptr && *lock != 0)
        entry += flock(open(lock, O_RDWR), LOCK_EX | LOCK_NB) == 0 ? "free\n"
                 : errno == EWOULDBLOCK                            ? "locked\n"
                                                                   : "no lock file\n";
    if (const char* log = std::getenv("POSTMAP_STAND_IN_LOG"))
        std::ofstream(log, std::ios::binary | std::ios::app) << entry;
    if (const int signalNumber = static_cast<int>(numberFrom("POSTMAP_STAND_IN_SIGNAL"))) {
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
    }
    return static_cast<int>(numberFrom("POSTMAP_STAND_IN_EXIT"));
}
