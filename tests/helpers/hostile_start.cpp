// Starts a program in the process state a careless parent leaves behind, for the start-up
// scenarios:  hostile_start ACTION... -- PROGRAM [ARG...]
//   block N      block signal N              ignore N     set signal N to SIG_IGN
//   close N      close descriptor N          fd N         open /dev/null on descriptor N,
//                                                         inherited (the soft descriptor
//                                                         limit is raised to reach it)
//   umask OCTAL  set the file creation mask  env NAME=V   set an environment variable
// Exits 99 on a bad action, 127 when the program cannot be started.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    int index = 1;
    for (; index + 1 < argc && std::strcmp(argv[index], "--") != 0; index += 2) {
        const std::string action = argv[index];
        const char* operand = argv[index + 1];
        const long number = std::strtol(operand, nullptr, action == "umask" ? 8 : 10);
        if (action == "block") {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, static_cast<int>(number));
            sigprocmask(SIG_BLOCK, &set, nullptr);
        } else if (action == "ignore") {
            std::signal(static_cast<int>(number), SIG_IGN);
        } else if (action == "close") {
            close(static_cast<int>(number));
        } else if (action == "fd") {
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            if (limit.rlim_cur <= static_cast<rlim_t>(number)) {
                limit.rlim_cur = static_cast<rlim_t>(number) + 1;
                setrlimit(RLIMIT_NOFILE, &limit);
            }
            const int fd = open("/dev/null", O_RDWR);
            if (fd < 0 || dup2(fd, static_cast<int>(number)) < 0)
                return 99;
            close(fd);
        } else if (action == "umask") {
            umask(static_cast<mode_t>(number));
        } else if (action == "env") {
            putenv(argv[index + 1]);
        } else {
            return 99;
        }
    }
    if (index + 1 >= argc)
        return 99;
    execv(argv[index + 1], argv + index + 1);
    std::perror(argv[index + 1]);
    return 127;
}
