// Stand-in for /usr/sbin/postmap in the table access tests, which bind-mount it over the
// real program. Its behaviour is chosen by environment variables, read in this order:
//
//   POSTMAP_STAND_IN_STDERR=TEXT      write TEXT on stderr
//   POSTMAP_STAND_IN_STDERR_BYTES=N   then write N bytes on stderr: byte i is 'a' + i % 26
//   POSTMAP_STAND_IN_NO_READ=1        do not read stdin (otherwise read it to end of file)
//   POSTMAP_STAND_IN_LOCK=PATH        note whether the flock of PATH is taken by someone
//   POSTMAP_STAND_IN_LOG=PATH         append to PATH: the arguments after argv[0] joined by
//                                     single spaces, "\n", the stdin bytes, and, when
//                                     POSTMAP_STAND_IN_LOCK is set, "locked\n" or "free\n"
//   POSTMAP_STAND_IN_SIGNAL=N         end by signal N (default disposition restored first)
//   POSTMAP_STAND_IN_EXIT=N           exit with status N (0 when unset)
//
// A failure of its own (log or lock file not openable) exits with status 98.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void writeAll(int descriptor, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(descriptor, bytes.data() + done, bytes.size() - done);
        if (written < 0)
            std::exit(98);
        done += static_cast<std::size_t>(written);
    }
}

int numberFrom(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoi(value) : fallback;
}

} // namespace

int main(int argc, char** argv) {
    if (const char* text = std::getenv("POSTMAP_STAND_IN_STDERR"))
        writeAll(2, text);
    if (const int count = numberFrom("POSTMAP_STAND_IN_STDERR_BYTES", 0); count > 0) {
        std::string bytes(static_cast<std::size_t>(count), '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>('a' + i % 26);
        writeAll(2, bytes);
    }
    std::string input;
    if (std::getenv("POSTMAP_STAND_IN_NO_READ") == nullptr) {
        char buffer[4096];
        ssize_t got;
        while ((got = read(0, buffer, sizeof buffer)) > 0)
            input.append(buffer, static_cast<std::size_t>(got));
    }
    std::string lockState;
    if (const char* lockPath = std::getenv("POSTMAP_STAND_IN_LOCK")) {
        const int descriptor = open(lockPath, O_RDWR);
        if (descriptor < 0)
            return 98;
        lockState = flock(descriptor, LOCK_EX | LOCK_NB) == 0 ? "free\n" : "locked\n";
        close(descriptor);
    }
    if (const char* logPath = std::getenv("POSTMAP_STAND_IN_LOG")) {
        std::string entry;
        for (int i = 1; i < argc; ++i)
            entry += std::string(i > 1 ? " " : "") + argv[i];
        entry += "\n" + input + lockState;
        const int descriptor = open(logPath, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (descriptor < 0)
            return 98;
        writeAll(descriptor, entry);
        close(descriptor);
    }
    if (const int signalNumber = numberFrom("POSTMAP_STAND_IN_SIGNAL", 0); signalNumber > 0) {
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
    }
    return numberFrom("POSTMAP_STAND_IN_EXIT", 0);
}
