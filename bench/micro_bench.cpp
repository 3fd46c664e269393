// Micro benchmarks of the tool's own hot code: the in-place reader with the domain document
// binding (throughput on documents of 1 KiB to 10 MiB), the argument quoting of command
// lines, the check of postmap's diagnostics, and the lock file name digest.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files/file_lock.h"
#include "input/domain_info.h"
#include "input/json_reader.h"
#include "lib/process/lib/CmdLine.hpp"
#include "postfix/database/Postmap.hpp"

namespace {

// A valid domain document of about `size` bytes: the example domain with as many aliases
// and certificates (names with escapes) as it takes, and an unknown field the binding skips.
std::string domainDocument(std::size_t size) {
    std::string aliases;
    std::string certificates;
    for (std::size_t i = 0; 700 + aliases.size() + certificates.size() < size; ++i) {
        const std::string number = std::to_string(i);
        aliases += (aliases.empty() ? "\"alias-" : ",\n            \"alias-") + number +
                   ".example.net\"";
        if (i % 8 == 0)
            certificates += std::string(certificates.empty() ? "" : ",\n") +
                            "            {\"name\": \"cert \\\"" + number +
                            "\\\" \\t\\/\\\\\\n\", \"certfile\": \"cert-" + number + "\"}";
    }
    return R"({
    "domain": {
        "name": "example.com",
        "aliases": [)" + aliases + R"(],
        "certificates": [
)" + certificates + R"(
        ],
        "enabled": true,
        "non_existent": {"type": "catchall", "arg": "catchall@example.com"},
        "vhost_id": "7f3c9a2e-1b4d-4c8e-9f10-2a6b5c4d3e21",
        "outgoing_limit": 500,
        "is_main": true,
        "panel_extra": {"created": "2024-01-01", "tags": ["a", "b", 1.5e3, null, false]},
        "transport": {"type": "explicit-ip", "ipv4": "203.0.113.10", "ipv6": "2001:db8::10"}
    },
    "subscription": {
        "name": "example.com",
        "sysusers": ["exampleftp"],
        "outgoing_limit": 1000,
        "allow_sendmail": false
    }
})";
}

// Reads the document with the binding, as the tool does. The reader writes into its buffer,
// so every iteration starts from a fresh copy; BM_DocumentCopy measures that copy alone.
void BM_ReadDomainDocument(benchmark::State& state) {
    const std::string document = domainDocument(static_cast<std::size_t>(state.range(0)));
    std::vector<char> buffer(document.size() + 1);
    for (auto _ : state) {
        std::memcpy(buffer.data(), document.c_str(), document.size() + 1);
        json_reader* reader = json_reader_create(buffer.data(), nullptr);
        domain_info* record = domain_info_create(reader);
        if (domain_info_read(reader, record) != 0) {
            state.SkipWithError(json_error_text(reader));
            break;
        }
        benchmark::DoNotOptimize(record->domain_aliases.count);
        domain_info_release(reader, record);
        json_reader_release(reader);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(document.size()));
}
BENCHMARK(BM_ReadDomainDocument)->Arg(1 << 10)->Arg(100 << 10)->Arg(1 << 20)->Arg(10 << 20);

void BM_DocumentCopy(benchmark::State& state) {
    const std::string document = domainDocument(static_cast<std::size_t>(state.range(0)));
    std::vector<char> buffer(document.size() + 1);
    for (auto _ : state) {
        std::memcpy(buffer.data(), document.c_str(), document.size() + 1);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(document.size()));
}
BENCHMARK(BM_DocumentCopy)->Arg(10 << 20);

// Arguments as the tool's command lines hold them: plain names, then ones full of characters
// that take a backslash or quotes (a bounce message with blanks, quotes and a newline).
void BM_QuoteArgument(benchmark::State& state) {
    const std::vector<std::string> arguments =
        state.range(0) == 0
            ? std::vector<std::string>{"--update", "example.com", "-vhost_id",
                                       "7f3c9a2e-1b4d-4c8e-9f10-2a6b5c4d3e21"}
            : std::vector<std::string>{"Mail to \"$USER\" (at example.com) isn't\nwanted; ok?",
                                       "|/usr/lib/corvo-9.0/bouncemessage 'x' `y` & z"};
    std::size_t bytes = 0;
    for (auto _ : state)
        for (const std::string& argument : arguments) {
            const std::string quoted = corvo::quoteArgument(argument);
            benchmark::DoNotOptimize(quoted.data());
            bytes += argument.size();
        }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_QuoteArgument)->Arg(0)->ArgName("special")->Arg(1);

// postmap's standard error: empty (the usual case), a few warnings, and warnings ending in
// a fatal line.
void BM_PostmapOutputIsClean(benchmark::State& state) {
    std::string text;
    for (std::int64_t i = 0; i < state.range(0); ++i)
        text += "postmap: warning: hash:/var/spool/postfix/corvo/virtual: duplicate entry: "
                "\"postmaster@example" + std::to_string(i) + ".com\"\n";
    if (state.range(1) != 0)
        text += "postmap: fatal: open /var/spool/postfix/corvo/virtual.db: Permission denied\n";
    for (auto _ : state)
        benchmark::DoNotOptimize(corvo::mail::postfix::database::postmapOutputIsClean(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_PostmapOutputIsClean)->ArgNames({"warnings", "fatal"})
    ->Args({0, 0})->Args({4, 0})->Args({4, 1});

// The lock file path of a table: MD5 of the name, hex digits, the lock directory.
void BM_LockFilePath(benchmark::State& state) {
    for (auto _ : state) {
        char* path = lock_file_path("/var/spool/postfix/corvo/virtual_domains");
        benchmark::DoNotOptimize(path);
        std::free(path);
    }
}
BENCHMARK(BM_LockFilePath);

} // namespace

BENCHMARK_MAIN();
