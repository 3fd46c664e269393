// Child program for the process tests. Performs the actions named by its arguments, left to
// right, then exits with status 0:
//
//   exit N          exit with status N at once
//   signal N        end itself with signal N (default disposition restored first)
//   out N           write N bytes on stdout: byte i is 'a' + i % 26
//   err N           write N bytes on stderr: byte i is 'A' + i % 26
//   both N          write N bytes on each of stdout and stderr (patterns as above),
//                   alternating 1000-byte chunks between the two streams
//   text S          write the text S on stdout
//   errtext S       write the text S on stderr
//   stdin           read all stdin, print "<bytes> <fnv1a-64 of the bytes, hex>\n" on stdout
//   cat             copy stdin to stdout
//   closein         close stdin (the writer then meets a closed pipe)
//   args            print every argument, argv[0] included, each followed by a NUL byte,
//                   and stop reading actions (the remaining arguments are data)
//   env NAME        print the variable's value and "\n", or "(unset)\n"
//   fds             print the open descriptor numbers, ascending, space-separated, and "\n"
//   id              print "<uid> <gid> <working directory>\n"
//   grandchild MS   leave a grandchild that keeps stdout and stderr open for MS
//                   milliseconds, then writes "grandchild\n" on stdout and exits
//   sleep MS        sleep MS milliseconds
//
// An unknown action or a missing operand exits with status 99 and a note on stderr.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

namespace {

void writeAll(int descriptor, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(descriptor, bytes, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            std::exit(98);
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
}

void writeText(int descriptor, const std::string& text) {
    writeAll(descriptor, text.data(), text.size());
}

// Writes count bytes of the pattern starting at position done.
void writePattern(int descriptor, char first, std::size_t done, std::size_t count) {
    std::string chunk(count, '\0');
    for (std::size_t index = 0; index < count; ++index)
        chunk[index] = static_cast<char>(first + static_cast<char>((done + index) % 26));
    writeText(descriptor, chunk);
}

void sleepMilliseconds(long milliseconds) {
    timespec delay{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (::nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

std::string readAll(int descriptor) {
    std::string data;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return data;
        data.append(buffer, static_cast<std::size_t>(count));
    }
}

std::uint64_t fnv1a(const std::string& data) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char byte : data) {
        hash ^= static_cast<unsigned char>(byte);
        hash *= 1099511628211ULL;
    }
    return hash;
}

std::string openDescriptors() {
    std::set<int> found;
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr)
        return "(no /proc/self/fd)";
    while (const dirent* entry = ::readdir(directory))
        if (entry->d_name[0] != '.')
            found.insert(std::atoi(entry->d_name));
    found.erase(::dirfd(directory));
    ::closedir(directory);
    std::string text;
    for (const int descriptor : found)
        text += (text.empty() ? "" : " ") + std::to_string(descriptor);
    return text;
}

[[noreturn]] void usage(const char* what) {
    std::fprintf(stderr, "child: bad action or operand: %s\n", what);
    std::exit(99);
}

} // namespace

int main(int argc, char** argv) {
    for (int index = 1; index < argc; ++index) {
        const std::string action = argv[index];
        if (action == "args") {
            for (int each = 0; each < argc; ++each)
                writeAll(1, argv[each], std::strlen(argv[each]) + 1);
            return 0;
        }
        if (action == "stdin") {
            const std::string data = readAll(0);
            char line[64];
            std::snprintf(line, sizeof line, "%zu %016" PRIx64 "\n", data.size(), fnv1a(data));
            writeText(1, line);
            continue;
        }
        if (action == "cat") {
            writeText(1, readAll(0));
            continue;
        }
        if (action == "closein") {
            ::close(0);
            continue;
        }
        if (action == "fds") {
            writeText(1, openDescriptors() + "\n");
            continue;
        }
        if (action == "id") {
            char directory[4096] = "?";
            if (::getcwd(directory, sizeof directory) == nullptr)
                std::strcpy(directory, "?");
            writeText(1, std::to_string(::getuid()) + " " + std::to_string(::getgid()) + " " +
                             directory + "\n");
            continue;
        }

        if (index + 1 >= argc)
            usage(action.c_str());
        const std::string operand = argv[++index];
        const long number = std::strtol(operand.c_str(), nullptr, 10);
        const auto count = static_cast<std::size_t>(number < 0 ? 0 : number);
        if (action == "exit") {
            return static_cast<int>(number);
        } else if (action == "signal") {
            ::signal(static_cast<int>(number), SIG_DFL);
            ::raise(static_cast<int>(number));
            return 97;
        } else if (action == "out") {
            writePattern(1, 'a', 0, count);
        } else if (action == "err") {
            writePattern(2, 'A', 0, count);
        } else if (action == "both") {
            for (std::size_t done = 0; done < count; done += 1000) {
                const std::size_t chunk = count - done < 1000 ? count - done : 1000;
                writePattern(1, 'a', done, chunk);
                writePattern(2, 'A', done, chunk);
            }
        } else if (action == "text") {
            writeText(1, operand);
        } else if (action == "errtext") {
            writeText(2, operand);
        } else if (action == "env") {
            const char* value = std::getenv(operand.c_str());
            writeText(1, std::string(value != nullptr ? value : "(unset)") + "\n");
        } else if (action == "grandchild") {
            const pid_t grandchild = ::fork();
            if (grandchild == 0) {
                sleepMilliseconds(number);
                writeText(1, "grandchild\n");
                ::_exit(0);
            }
        } else if (action == "sleep") {
            sleepMilliseconds(number);
        } else {
            usage(action.c_str());
        }
    }
    return 0;
}
