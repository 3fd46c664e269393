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

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <string_view>

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
// Standard output goes to `output` when given, else it stays the tool's own. argv holds each
// argument as given: an empty key or table name stays an argument of its own. postmap keeps
// `lock`, the open lock file, held for it until it ends, when one is given.
RunEnd runPostmap(const process::Invocation& call, std::string& errors,
                  std::string* output = nullptr, int lock = -1) {
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
    if (output)
        pipe.setStdout(process::kFdPipe, process::Pipe::appendTo(*output));
    return endOf(pipe.run());
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

void appendKey(std::string& text, const std::string& key) {
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
        return runPostmap(postmapCall(change), errors, nullptr, lock.descriptor());
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

TableContents lookupKeys(const std::string& table, const std::vector<std::string>& keys) {
    TableContents contents;
    contents.exists = tableFileExists(table);
    if (!contents.exists || keys.empty())
        return contents;
    std::string errors;
    std::string output;
    const SharedFileLock lock(tablePath(table));
    if (!lock.busyHolder().empty()) {
        contents.heldBy = lock.busyHolder();
        return contents;
    }
    const RunEnd run = runPostmap({kPostmapProgram, {"-q", "-", table}, linesOf(keys, appendKey)},
                                  errors, &output);
    // Exit 1 with nothing on standard error only means that no key was found.
    if (run.signalled || run.exitStatus > 1 || !postmapOutputIsClean(errors))
        throw PostfixDatabaseError(errors.empty() ? "postmap -q failed" : errors);
    // One "key<TAB>value" line per key found; keys hold no blanks, values may.
    std::string_view rest = output;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        const std::size_t tab = line.find('\t');
        if (tab != std::string_view::npos)
            contents.values.emplace(line.substr(0, tab), line.substr(tab + 1));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return contents;
}

std::string_view TableDump::key(const Entry& entry) const {
    return std::string_view(text).substr(entry.key, entry.length);
}

std::string_view TableDump::value(const Entry& entry) const {
    const std::size_t start = std::min<std::size_t>(entry.key + entry.length + 1, entry.end);
    return std::string_view(text).substr(start, entry.end - start);
}

const TableDump::Entry* TableDump::find(std::string_view wanted) const {
    const auto at = std::lower_bound(
        entries.begin(), entries.end(), wanted,
        [this](const Entry& entry, std::string_view other) { return key(entry) < other; });
    return at != entries.end() && key(*at) == wanted ? &*at : nullptr;
}

TableDump dumpTable(const std::string& table) {
    TableDump dump;
    dump.exists = tableFileExists(table);
    if (!dump.exists)
        return dump;
    std::string errors;
    const RunEnd run = [&] {
        const SharedFileLock lock(tablePath(table));
        // A table that cannot be read whole is no table an audit can judge.
        if (!lock.busyHolder().empty())
            throw PostfixDatabaseError(table + " not inspected: its lock stayed held by " +
                                       lock.busyHolder());
        return runPostmap({kPostmapProgram, {"-s", table}, {}}, errors, &dump.text);
    }();
    if (run.signalled || run.exitStatus != 0 || !postmapOutputIsClean(errors))
        throw PostfixDatabaseError(errors.empty() ? "postmap -s failed" : errors);
    dump.text.shrink_to_fit(); // the output grew by doubling; the rest stays for the run
    if (dump.text.size() > UINT32_MAX)
        throw PostfixDatabaseError("postmap -s: more than 4 GiB of entries");
    // One "key<TAB>value" line per entry; keys hold no blanks, values may.
    const std::string_view text = dump.text;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::size_t tab = text.substr(start, end - start).find('\t');
        const std::size_t length = tab == std::string_view::npos ? end - start : tab;
        dump.entries.push_back({static_cast<std::uint32_t>(start),
                                static_cast<std::uint32_t>(length),
                                static_cast<std::uint32_t>(end)});
        start = end + 1;
    }
    std::sort(dump.entries.begin(), dump.entries.end(),
              [&dump](const TableDump::Entry& a, const TableDump::Entry& b) {
                  return dump.key(a) < dump.key(b);
              });
    dump.entries.shrink_to_fit();
    return dump;
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
