// Child program for the process tests. Performs the actions named by its arguments, left to
// right, then exits with status 0 (99 on an unknown action or a missing operand):
//   exit N / signal N   exit with status N / end itself with signal N (at its default action)
//   ignore N            ignore signal N from here on
//   both N              write N bytes on stdout ('a' + i % 26) and on stderr ('A' + i % 26),
//                       alternating 1000-byte chunks
//   text S / errtext S  write S on stdout / on stderr
//   cat / closein       copy stdin to stdout / close stdin
//   args                print every argument, argv[0] included, each followed by a NUL byte,
//                       and stop (the remaining arguments are data)
//   env NAME            print the variable's value and "\n", or "(unset)\n"
//   fds                 print the open descriptors below 65536, each followed by a space
//   signals             print the blocked signals as "blocked N N ...\n", then SIGCHLD's and
//                       SIGPIPE's dispositions as "SIGCHLD default\nSIGPIPE ignored\n"
//   grandchild MS       leave a grandchild holding stdout and stderr for MS milliseconds,
//                       which then writes "grandchild\n";  sleep MS: sleep MS milliseconds
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

namespace {

void writeText(int descriptor, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(descriptor, text.data() + done, text.size() - done);
        if (written <= 0 && errno != EINTR)
            std::exit(98);
        done += written > 0 ? static_cast<std::size_t>(written) : 0;
    }
}

// The signal state this program started with: what an engine handed over at exec.
std::string signalState() {
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    std::string text = "blocked";
    for (int number = 1; number < NSIG; ++number)
        if (sigismember(&blocked, number) == 1)
            text += " " + std::to_string(number);
    text += "\n";
    for (const auto& [number, name] : {std::pair{SIGCHLD, "SIGCHLD"}, {SIGPIPE, "SIGPIPE"}}) {
        struct sigaction action {};
        sigaction(number, nullptr, &action);
        text += std::string(name) +
                (action.sa_handler == SIG_DFL   ? " default\n"
                 : action.sa_handler == SIG_IGN ? " ignored\n"
                                                : " caught\n");
    }
    return text;
}

} // namespace

int main(int argc, char** argv) {
    for (int index = 1; index < argc; ++index) {
        const std::string action = argv[index];
        if (action == "args") {
            for (int each = 0; each < argc; ++each)
                writeText(1, std::string(argv[each]) + '\0');
            return 0;
        } else if (action == "cat") {
            char buffer[65536];
            ssize_t count;
            while ((count = ::read(0, buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR))
                writeText(1, std::string(buffer, count > 0 ? static_cast<std::size_t>(count) : 0));
            continue;
        } else if (action == "closein") {
            ::close(0);
            continue;
        } else if (action == "fds") {
            std::string text;
            for (int descriptor = 0; descriptor < 65536; ++descriptor)
                if (::fcntl(descriptor, F_GETFD) >= 0)
                    text += std::to_string(descriptor) + " ";
            writeText(1, text);
            continue;
        } else if (action == "signals") {
            writeText(1, signalState());
            continue;
        } else if (index + 1 >= argc) {
            return 99;
        }
        const std::string operand = argv[++index];
        const long number = std::strtol(operand.c_str(), nullptr, 10);
        if (action == "exit") {
            return static_cast<int>(number);
        } else if (action == "signal") {
            ::signal(static_cast<int>(number), SIG_DFL);
            ::raise(static_cast<int>(number));
        } else if (action == "ignore") {
            ::signal(static_cast<int>(number), SIG_IGN);
        } else if (action == "both") {
            for (long at = 0; at < number; at += 1000) {
                std::string out;
                for (long each = at; each < std::min(number, at + 1000); ++each)
                    out += static_cast<char>('a' + each % 26);
                writeText(1, out);
                for (char& byte : out)
                    byte = static_cast<char>(byte - 'a' + 'A');
                writeText(2, out);
            }
        } else if (action == "text" || action == "errtext") {
            writeText(action == "text" ? 1 : 2, operand);
        } else if (action == "env") {
            const char* value = std::getenv(operand.c_str());
            writeText(1, std::string(value != nullptr ? value : "(unset)") + "\n");
        } else if (action == "grandchild") {
            if (::fork() == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(number));
                writeText(1, "grandchild\n");
                ::_exit(0);
            }
        } else if (action == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(number));
        } else {
            return 99;
        }
    }
    return 0;
}
