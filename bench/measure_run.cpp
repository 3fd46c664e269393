// Times one run of a program, the way the panel runs the tool: standard input from a file,
// output discarded.
//
//   measure_run [--rss] INPUT PROGRAM [ARG...]
//
// Prints one line "WALL_NS OWN_CPU_NS TOTAL_CPU_NS PEAK_RSS_KIB":
// - wall time from just before fork to the program's exit;
// - the program's own CPU time: the scheduler's exact on-CPU time of its process
//   (/proc/PID/schedstat), read while it is a zombie (waitid with WNOWAIT), so that none of
//   its children is counted;
// - CPU time of the program and all the children it waited for (wait4's rusage);
// - with --rss, the peak resident set of the program's own process (VmHWM), read at its
//   exit event under ptrace (which also sees every signal, so these runs are not timed
//   ones); else 0.
// Exits 1 when the program fails (status on standard error), 127 on a failure of its own.
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

namespace {

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(127);
}

long long nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

long long ownCpuNs(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    long long onCpu = -1;
    if (!(schedstat >> onCpu))
        fail("schedstat");
    return onCpu;
}

long long peakRssKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atoll(line.c_str() + 6);
    return -1;
}

// Lets a traced program run to its exit event, passing its signals on; returns its VmHWM.
long long traceToExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) // the stop at exec
        fail("trace start");
    if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT) < 0)
        fail("ptrace");
    long long peak = -1;
    int signal = 0;
    for (;;) {
        if (ptrace(PTRACE_CONT, pid, nullptr, signal) < 0)
            fail("ptrace cont");
        // __WALL|WNOWAIT would not help here: the exit event stop comes before the zombie.
        if (waitpid(pid, &status, 0) != pid)
            fail("waitpid");
        signal = 0;
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            peak = peakRssKib(pid);
            ptrace(PTRACE_DETACH, pid, nullptr, 0);
            return peak;
        }
        if (WIFSTOPPED(status))
            signal = WSTOPSIG(status);
        else
            return peak;
    }
}

} // namespace

int main(int argc, char** argv) {
    int first = 1;
    const bool rss = argc > 1 && std::strcmp(argv[1], "--rss") == 0;
    if (rss)
        ++first;
    if (argc - first < 2) {
        std::fprintf(stderr, "usage: measure_run [--rss] INPUT PROGRAM [ARG...]\n");
        return 127;
    }
    const int input = open(argv[first], O_RDONLY);
    const int discard = open("/dev/null", O_WRONLY);
    if (input < 0 || discard < 0)
        fail(argv[first]);

    const long long start = nowNs();
    const pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        dup2(input, STDIN_FILENO);
        dup2(discard, STDOUT_FILENO);
        dup2(discard, STDERR_FILENO);
        close(input);
        close(discard);
        if (rss)
            ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execv(argv[first + 1], argv + first + 1);
        _exit(127);
    }
    long long peak = 0;
    if (rss)
        peak = traceToExit(pid);
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0)
        fail("waitid");
    const long long wall = nowNs() - start;
    const long long own = ownCpuNs(pid);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        fail("wait4");
    const long long total = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
                            (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
    std::printf("%lld %lld %lld %lld\n", wall, own, total, peak);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "measure_run: %s ended with wait status %d\n", argv[first + 1],
                     status);
        return 1;
    }
    return 0;
}
