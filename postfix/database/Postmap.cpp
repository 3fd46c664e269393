// Lookup table access through postmap: one locked postmap run per change, judged by how it
// ended and, for deletes, by the lines it wrote on standard error.
//
// DIAGNOSTICS: see Postmap.hpp. Lock and process failures are raised before or while
// postmap runs and pass through untouched; the lock is a scoped object, so it is released
// whichever way the operation ends.
#include "postfix/database/Postmap.hpp"

#include "diagnostics/Errors.hpp"
#include "files/FileLock.hpp"
#include "lib/process/lib/Pipe.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string_view>
#include <thread>

namespace corvo::mail::postfix::database {

namespace {

// The raw wait status of a postmap run, decoded once for every judgement below.
struct RunEnd {
    bool signalled;
    int exitStatus; // -1 unless postmap exited
};

RunEnd endOf(int status) {
    return {WIFSIGNALED(status), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// Runs postmap once with the arguments, the input on a pipe (standard input from /dev/null
// when there is none); returns how it ended and leaves its standard error in errors.
// Standard output stays the tool's own. argv holds each argument as given: an empty key or
// table name stays an argument of its own. postmap keeps `lock`, the open lock file, held
// for it until it ends, when one is given.
RunEnd runPostmap(const process::Invocation& call, std::string& errors, int lock) {
    process::Command command(call.program);
    command.argv.insert(command.argv.end(), call.arguments.begin(), call.arguments.end());
    command.keptDescriptor = lock;
    process::Pipe pipe(command);
    if (call.input.empty()) {
        pipe.setStdin(process::kFdDevNull);
    } else {
        auto input = std::make_shared<std::string>(call.input);
        pipe.setStdin(process::kFdPipe, [input](std::vector<char>& buffer) {
            buffer.insert(buffer.end(), input->begin(), input->end());
            input->clear();
            return false;
        });
    }
    pipe.setStderr(process::kFdPipe, process::Pipe::appendTo(errors));
    return endOf(pipe.run());
}

// A file in memory between a reader's postmap and the check: its keys go in whole before
// postmap starts and its output is taken whole once it has ended, with no pipe to serve
// chunk by chunk while it runs. Close-on-exec: postmap gets it only as a standard stream.
class MemoryFile {
public:
    explicit MemoryFile(const char* name) : fd_(::memfd_create(name, MFD_CLOEXEC)) {
        if (fd_ < 0)
            throwSystemError(std::string("memfd_create ") + name, errno);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() { ::close(fd_); }

    int descriptor() const { return fd_; }

    // Writes text and goes back to its start, for postmap to read from there.
    void fill(std::string_view text) {
        while (!text.empty()) {
            const ssize_t put = ::write(fd_, text.data(), text.size());
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                throwSystemError("write postmap input", errno);
            text.remove_prefix(static_cast<std::size_t>(put));
        }
        if (::lseek(fd_, 0, SEEK_SET) != 0)
            throwSystemError("lseek postmap input", errno);
    }

    // What was written to it, mapped read-only; the mapping outlives the file.
    std::pair<std::shared_ptr<const char>, std::size_t> map() const {
        struct stat status {};
        if (::fstat(fd_, &status) != 0)
            throwSystemError("fstat postmap output", errno);
        const auto size = static_cast<std::size_t>(status.st_size);
        if (size == 0)
            return {nullptr, 0};
        void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd_, 0);
        if (at == MAP_FAILED)
            throwSystemError("mmap postmap output", errno);
        return {std::shared_ptr<const char>(static_cast<const char*>(at),
                                            [size](const char* bytes) {
                                                ::munmap(const_cast<char*>(bytes), size);
                                            }),
                size};
    }

private:
    int fd_;
};

// One reader's postmap: its arguments, its keys (none for a dump), what it wrote and how it
// ended.
struct ReaderRun {
    explicit ReaderRun(std::vector<std::string> postmapArguments)
        : arguments(std::move(postmapArguments)) {}
    std::vector<std::string> arguments;
    std::unique_ptr<MemoryFile> input;
    MemoryFile output{"postmap-output"};
    std::string errors;
    RunEnd end{false, -1};
};

// Runs the readers' postmaps side by side, in one run of the pipeline engine: each reads its
// own keys (or /dev/null) and writes its own output and standard error.
void runReaders(std::vector<std::unique_ptr<ReaderRun>>& runs) {
    if (runs.empty())
        return;
    std::vector<process::Command> commands;
    for (const auto& run : runs) {
        process::Command& command = commands.emplace_back(kPostmapProgram);
        command.argv.insert(command.argv.end(), run->arguments.begin(), run->arguments.end());
        command.ownStdout = run->output.descriptor();
        if (run->input)
            command.ownStdin = run->input->descriptor();
        command.setStderr(process::kFdPipe, process::Pipe::appendTo(run->errors));
    }
    process::Pipe pipe(commands.front());
    for (std::size_t i = 1; i < commands.size(); ++i)
        pipe.add(commands[i]);
    pipe.setStdin(process::kFdDevNull);
    pipe.onExit = [&runs](std::size_t index, int status) { runs.at(index)->end = endOf(status); };
    pipe.run();
}

// One line per item, each ended by a line feed.
template <class Item, class Write>
std::string linesOf(const std::vector<Item>& items, Write write) {
    std::string text;
    for (const Item& item : items) {
        write(text, item);
        text.push_back('\n');
    }
    return text;
}

void appendKey(std::string& text, std::string_view key) {
    text += key;
}

// "key value": nothing is quoted; postmap takes everything after the first blank as the
// value.
void appendRecord(std::string& text, const Record& record) {
    text += record.first + ' ' + record.second;
}

bool isErrorLine(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon + 1 == line.size())
        return false;
    std::size_t word = colon + 1;
    while (word < line.size() && line[word] == ' ')
        ++word;
    if (word >= line.size() || word + 1 == line.size())
        return false;
    const std::string_view rest = line.substr(word);
    return rest.starts_with("panic:") || rest.starts_with("fatal:") || rest.starts_with("error:");
}

} // namespace

process::Invocation postmapCall(const TableChange& change) {
    switch (change.kind) {
    case TableChange::Kind::Insert:
        return {kPostmapProgram, {"-r", "-i", change.table}, linesOf(change.records, appendRecord)};
    case TableChange::Kind::Delete:
        return {kPostmapProgram, {"-d", "-", change.table}, linesOf(change.keys, appendKey)};
    case TableChange::Kind::DeleteOne:
        break;
    }
    return {kPostmapProgram, {"-d", change.keys.at(0), change.table}, {}};
}

bool isEmptyChange(const TableChange& change) {
    switch (change.kind) {
    case TableChange::Kind::Insert:
        return change.records.empty();
    case TableChange::Kind::Delete:
        return change.keys.empty();
    case TableChange::Kind::DeleteOne:
        break;
    }
    return false;
}

void applyChange(const TableChange& change) {
    if (isEmptyChange(change))
        return;
    std::string errors;
    const RunEnd end = [&] {
        // The lock is held for postmap as well: a tool killed while postmap writes must not
        // free the table for the next writer before postmap is done with it.
        const FileLock lock(tablePath(change.table));
        return runPostmap(postmapCall(change), errors, lock.descriptor());
    }();
    const bool exitedZero = !end.signalled && end.exitStatus == 0;
    if (change.kind == TableChange::Kind::Insert) {
        if (!exitedZero)
            throw PostfixConfigurationError(errors.empty() ? "unknown error" : errors);
    } else if (end.signalled || (!exitedZero && !postmapOutputIsClean(errors))) {
        throw PostfixDatabaseError(errors);
    }
}

namespace {

// Whether the table's file is there; postmap would report a missing one as a fatal error.
bool tableFileExists(const std::string& table) {
    struct stat status {};
    const std::string file = tablePath(table) + ".db";
    if (::stat(file.c_str(), &status) == 0)
        return true;
    if (errno != ENOENT)
        throwSystemError("stat " + file, errno);
    return false;
}

} // namespace

std::vector<TableContents> lookupKeys(const std::vector<TableQuery>& queries) {
    std::vector<TableContents> contents(queries.size());
    // Every lock is taken before any postmap starts and held until all have ended.
    std::vector<std::unique_ptr<SharedFileLock>> locks;
    std::vector<std::unique_ptr<ReaderRun>> runs;
    std::vector<std::size_t> runOf(queries.size(), SIZE_MAX);
    for (std::size_t i = 0; i < queries.size(); ++i) {
        const TableQuery& query = queries[i];
        contents[i].exists = tableFileExists(query.table);
        if (!contents[i].exists || query.keys.empty())
            continue;
        auto run = std::make_unique<ReaderRun>(std::vector<std::string>{"-q", "-", query.table});
        run->input = std::make_unique<MemoryFile>("postmap-keys");
        run->input->fill(linesOf(query.keys, appendKey));
        locks.push_back(std::make_unique<SharedFileLock>(tablePath(query.table)));
        if (!locks.back()->busyHolder().empty()) {
            contents[i].heldBy = locks.back()->busyHolder();
            continue;
        }
        runOf[i] = runs.size();
        runs.push_back(std::move(run));
    }
    runReaders(runs);
    for (std::size_t i = 0; i < queries.size(); ++i) {
        if (runOf[i] == SIZE_MAX)
            continue;
        ReaderRun& run = *runs[runOf[i]];
        // Exit 1 with nothing on standard error only means that no key was found.
        if (run.end.signalled || run.end.exitStatus > 1 || run.end.exitStatus < 0 ||
            !postmapOutputIsClean(run.errors))
            throw PostfixDatabaseError(run.errors.empty() ? "postmap -q failed" : run.errors);
        // One "key<TAB>value" line per key found, as a dump has them.
        auto [bytes, size] = run.output.map();
        const std::string_view text(bytes.get(), size);
        contents[i].values = TableDump(std::move(bytes), text);
    }
    return contents;
}

namespace {

std::uint64_t hashOf(std::string_view key) {
    return std::hash<std::string_view>{}(key);
}

} // namespace

TableDump::TableDump(std::string text) {
    auto owned = std::make_shared<std::string>(std::move(text));
    const std::string_view view = *owned;
    *this = TableDump(std::shared_ptr<const char>(owned, owned->data()), view);
}

TableDump::TableDump(std::shared_ptr<const char> bytes, std::string_view text)
    : bytes_(std::move(bytes)), text_(text), exists_(true) {
    if (text_.size() >= UINT32_MAX)
        throw PostfixDatabaseError("postmap wrote more than 4 GiB of entries");
    const auto lines = static_cast<std::size_t>(std::count(text_.begin(), text_.end(), '\n')) + 1;
    // At most half the slots taken, so that a probe rarely walks far.
    std::size_t capacity = 16;
    while (capacity < 2 * lines)
        capacity *= 2;
    slots_.assign(capacity, 0);
    const std::size_t mask = capacity - 1;
    for (std::size_t start = 0; start < text_.size();) {
        std::size_t end = text_.find('\n', start);
        if (end == std::string_view::npos)
            end = text_.size();
        if (end > start) {
            const std::string_view line = text_.substr(start, end - start);
            const std::string_view key = line.substr(0, line.find('\t'));
            const std::uint64_t hash = hashOf(key);
            const std::uint64_t tag = hash & ~std::uint64_t{UINT32_MAX};
            for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
                if (slots_[slot] == 0) {
                    slots_[slot] = tag | (start + 1);
                    ++size_;
                    break;
                }
                if ((slots_[slot] & ~std::uint64_t{UINT32_MAX}) == tag &&
                    entryAt(static_cast<std::uint32_t>(slots_[slot]) - 1, slot).key == key)
                    break;
            }
        }
        start = end + 1;
    }
}

TableDump::Entry TableDump::entryAt(std::uint32_t start, std::size_t id) const {
    std::string_view line = text_.substr(start);
    line = line.substr(0, line.find('\n'));
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos)
        return {line, {}, id};
    return {line.substr(0, tab), line.substr(tab + 1), id};
}

std::optional<TableDump::Entry> TableDump::find(std::string_view key) const {
    if (size_ == 0)
        return std::nullopt;
    const std::uint64_t hash = hashOf(key);
    const std::uint64_t tag = hash & ~std::uint64_t{UINT32_MAX};
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
        if ((slots_[slot] & ~std::uint64_t{UINT32_MAX}) != tag)
            continue;
        const std::size_t start = static_cast<std::uint32_t>(slots_[slot]) - 1;
        // The key, then the end of its key: a tab, a line feed or the end of the text.
        const std::string_view rest = text_.substr(start);
        if (rest.starts_with(key) &&
            (rest.size() == key.size() || rest[key.size()] == '\t' || rest[key.size()] == '\n'))
            return entryAt(static_cast<std::uint32_t>(start), slot);
    }
    return std::nullopt;
}

void TableDump::prefetchSlot(std::string_view key) const {
    if (size_ != 0)
        __builtin_prefetch(&slots_[hashOf(key) & (slots_.size() - 1)]);
}

void TableDump::prefetchLine(std::string_view key) const {
    if (size_ == 0)
        return;
    if (const std::uint64_t slot = slots_[hashOf(key) & (slots_.size() - 1)]; slot != 0)
        __builtin_prefetch(text_.data() + (static_cast<std::uint32_t>(slot) - 1));
}

std::optional<TableDump::Entry> TableDump::at(std::size_t id) const {
    if (id >= slots_.size() || slots_[id] == 0)
        return std::nullopt;
    return entryAt(static_cast<std::uint32_t>(slots_[id]) - 1, id);
}

std::vector<TableDump> dumpTables(const std::vector<std::string>& tables) {
    std::vector<TableDump> dumps(tables.size());
    std::vector<std::unique_ptr<SharedFileLock>> locks;
    std::vector<std::unique_ptr<ReaderRun>> runs;
    std::vector<std::size_t> runOf(tables.size(), SIZE_MAX);
    for (std::size_t i = 0; i < tables.size(); ++i) {
        if (!tableFileExists(tables[i]))
            continue;
        locks.push_back(std::make_unique<SharedFileLock>(tablePath(tables[i])));
        // A table that cannot be read whole is no table an audit can judge.
        if (!locks.back()->busyHolder().empty())
            throw PostfixDatabaseError(tables[i] + " not inspected: its lock stayed held by " +
                                       locks.back()->busyHolder());
        runOf[i] = runs.size();
        runs.push_back(std::make_unique<ReaderRun>(std::vector<std::string>{"-s", tables[i]}));
    }
    runReaders(runs);
    for (std::size_t i = 0; i < tables.size(); ++i) {
        if (runOf[i] == SIZE_MAX)
            continue;
        const ReaderRun& run = *runs[runOf[i]];
        if (run.end.signalled || run.end.exitStatus != 0 || !postmapOutputIsClean(run.errors))
            throw PostfixDatabaseError(run.errors.empty() ? "postmap -s failed" : run.errors);
    }
    // A million entries take a while to index: each table on a thread of its own.
    std::vector<std::exception_ptr> failures(tables.size());
    {
        std::vector<std::jthread> indexers;
        for (std::size_t i = 0; i < tables.size(); ++i) {
            if (runOf[i] == SIZE_MAX)
                continue;
            indexers.emplace_back([&, i, mapped = runs[runOf[i]]->output.map()] {
                const auto& [bytes, size] = mapped;
                try {
                    dumps[i] = TableDump(bytes, std::string_view(bytes.get(), size));
                } catch (...) {
                    failures[i] = std::current_exception();
                }
            });
        }
    }
    for (const std::exception_ptr& failure : failures)
        if (failure)
            std::rethrow_exception(failure);
    return dumps;
}

bool postmapOutputIsClean(const std::string& text) {
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        if (isErrorLine(line))
            return false;
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return true;
}

std::string tablePath(const std::string& table) {
    const std::size_t colon = table.find(':');
    return colon == std::string::npos ? table : table.substr(colon + 1);
}

} // namespace corvo::mail::postfix::database
