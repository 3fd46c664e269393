// Call recorder for timing runs, bind-mounted over /usr/sbin/postmap and the sibling
// utilities for one run of the tool: appends its argument vector and all of its standard
// input to $BENCH_RECORD, then executes the program that really stands at that path during
// timing ($BENCH_POSTMAP for postmap, $BENCH_SIBLING otherwise) with the same arguments and
// the same input. replay_calls runs the recorded calls again without the tool.
//
// Record: "CALL <argc> <stdin-is-pipe> <stdin-bytes>\n", each argument as "<bytes>:<text>\n",
// then the input bytes and "\n". Any failure exits 127 with a message on standard error.
#include <sys/mman.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::_Exit(127);
}

const char* setting(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr)
        fail(name);
    return value;
}

} // namespace

int main(int argc, char** argv) {
    std::string input;
    char block[65536];
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, block, sizeof block);
        if (got < 0)
            fail("read");
        if (got == 0)
            break;
        input.append(block, static_cast<std::size_t>(got));
    }
    struct stat status {};
    const bool fromPipe = fstat(STDIN_FILENO, &status) == 0 && S_ISFIFO(status.st_mode);

    std::string record = "CALL " + std::to_string(argc) + " " + (fromPipe ? "1 " : "0 ") +
                         std::to_string(input.size()) + "\n";
    for (int i = 0; i < argc; ++i)
        record += std::to_string(std::strlen(argv[i])) + ":" + argv[i] + "\n";
    record += input + "\n";
    const int log = open(setting("BENCH_RECORD"), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log < 0 || write(log, record.data(), record.size()) != static_cast<ssize_t>(record.size()))
        fail("record");
    close(log);

    // The same input again, from a memory file.
    const int again = memfd_create("input", 0);
    if (again < 0 || write(again, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
        lseek(again, 0, SEEK_SET) != 0 || dup2(again, STDIN_FILENO) < 0)
        fail("input");
    close(again);
    const std::string self = argv[0];
    const bool postmap = self.size() >= 8 && self.compare(self.size() - 8, 8, "/postmap") == 0;
    const char* program = setting(postmap ? "BENCH_POSTMAP" : "BENCH_SIBLING");
    execv(program, argv);
    fail(program);
}
