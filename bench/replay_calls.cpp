// Runs the calls that record_call recorded, one after another, without the tool: the
// physical limit of a run, what its children cost alone.
//
//   replay_calls [--spawn] RECORD
//
// With --spawn each call is started with posix_spawn (which does not copy the driver's
// address space), else with fork and exec.
// Each call runs with its recorded argument vector; its standard input is a pipe holding the
// recorded bytes when the tool gave it a pipe, else /dev/null; its output is discarded.
// Prints one line "WALL_NS CHILDREN_CPU_NS CALLS NONZERO OWN_CPU_NS" (wall time from the first
// fork to the last exit, CPU time of all the calls, how many exited non-zero: postmap -d does
// so for an absent key, as in the tool's run; the driver's own on-CPU time over the same span,
// that is what starting and reaping the calls costs a process that does nothing else).
// Exits 1 when a call could not be started or died by a signal, 127 on a failure of its own.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Call {
    std::vector<std::string> arguments;
    bool inputPipe = false;
    std::string input;
};

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(127);
}

std::vector<Call> readRecord(const char* path) {
    std::ifstream file(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::vector<Call> calls;
    std::size_t at = 0;
    auto number = [&](char end) {
        const std::size_t stop = text.find(end, at);
        if (stop == std::string::npos)
            fail("record format");
        const std::size_t value = std::stoul(text.substr(at, stop - at));
        at = stop + 1;
        return value;
    };
    while (at < text.size()) {
        if (text.compare(at, 5, "CALL ") != 0)
            fail("record format");
        at += 5;
        Call call;
        const std::size_t count = number(' ');
        call.inputPipe = number(' ') != 0;
        const std::size_t inputSize = number('\n');
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t size = number(':');
            call.arguments.push_back(text.substr(at, size));
            at += size + 1;
        }
        call.input = text.substr(at, inputSize);
        at += inputSize + 1;
        calls.push_back(std::move(call));
    }
    return calls;
}

long long nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

long long ownCpuNs() {
    std::ifstream schedstat("/proc/self/schedstat");
    long long onCpu = -1;
    if (!(schedstat >> onCpu))
        fail("schedstat");
    return onCpu;
}

long long childrenCpuNs() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
}

// Starts one call with posix_spawn; returns its process id.
pid_t spawnCall(const Call& call, char* const* argv, int input, int discard) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (call.inputPipe)
        posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, discard, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, discard, STDERR_FILENO);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        fail("posix_spawn");
    }
    return pid;
}

bool useSpawn = false;

// Runs one call to its end; returns its wait status.
int run(const Call& call, int discard) {
    std::vector<char*> argv;
    for (const std::string& argument : call.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int ends[2] = {-1, -1};
    if (call.inputPipe && pipe2(ends, O_CLOEXEC) < 0)
        fail("pipe");
    const pid_t pid = useSpawn ? spawnCall(call, argv.data(), ends[0], discard) : fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        if (call.inputPipe)
            dup2(ends[0], STDIN_FILENO);
        else
            dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        dup2(discard, STDOUT_FILENO);
        dup2(discard, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (call.inputPipe) {
        close(ends[0]);
        std::size_t written = 0;
        while (written < call.input.size()) {
            const ssize_t put =
                write(ends[1], call.input.data() + written, call.input.size() - written);
            if (put <= 0)
                fail("write");
            written += static_cast<std::size_t>(put);
        }
        close(ends[1]);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        fail("waitpid");
    return status;
}

} // namespace

int main(int argc, char** argv) {
    useSpawn = argc == 3 && std::string(argv[1]) == "--spawn";
    if (argc != 2 && !useSpawn) {
        std::fprintf(stderr, "usage: replay_calls [--spawn] RECORD\n");
        return 127;
    }
    const std::vector<Call> calls = readRecord(argv[argc - 1]);
    const int discard = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const long long cpuBefore = childrenCpuNs();
    const long long ownBefore = ownCpuNs();
    const long long start = nowNs();
    int nonZero = 0;
    int broken = 0;
    for (const Call& call : calls) {
        const int status = run(call, discard);
        nonZero += status != 0;
        broken += !WIFEXITED(status) || WEXITSTATUS(status) == 127;
    }
    const long long wall = nowNs() - start;
    const long long own = ownCpuNs() - ownBefore;
    std::printf("%lld %lld %zu %d %lld\n", wall, childrenCpuNs() - cpuBefore, calls.size(), nonZero,
                own);
    if (broken != 0) {
        std::fprintf(stderr, "replay_calls: %d of %zu calls did not run\n", broken, calls.size());
        return 1;
    }
    return 0;
}
