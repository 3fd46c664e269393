// Lookup table access through postmap: one locked postmap run per operation, judged by its
// wait status and, for deletes, by the lines it wrote on standard error.
//
// DIAGNOSTICS: see Postmap.hpp. Lock and process failures are raised before or while
// postmap runs and pass through untouched; the lock is a scoped object, so it is released
// whichever way the operation ends.
#include "postfix/database/Postmap.hpp"

#include "diagnostics/Errors.hpp"
#include "files/FileLock.hpp"
#include "lib/process/lib/Pipe.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <string_view>

namespace corvo::mail::postfix::database {

namespace {

// argv is "/usr/sbin/postmap" and the arguments, each as given: an empty key or table name
// stays an argument of its own instead of ending the list.
process::Command postmapCommand(const std::vector<std::string>& arguments) {
    process::Command command(kPostmapProgram);
    command.argv.insert(command.argv.end(), arguments.begin(), arguments.end());
    return command;
}

// Runs the command once; returns the raw wait status and leaves postmap's standard error in
// errors. Standard output goes to `output` when given, else it stays the tool's own.
int runUnlocked(const process::Command& command, int stdinCode, const process::Provider& provider,
                std::string& errors, std::string* output = nullptr) {
    process::Pipe pipe(command);
    pipe.setStdin(stdinCode, provider);
    pipe.setStderr(process::kFdPipe, process::Pipe::appendTo(errors));
    if (output)
        pipe.setStdout(process::kFdPipe, process::Pipe::appendTo(*output));
    return pipe.run();
}

// Applies change: postmap with its arguments, standard input from provider (/dev/null when
// there is none), under the exclusive lock of the table's path.
int runChange(const TableChange& change, const process::Provider& provider, std::string& errors) {
    FileLock lock(tablePath(change.table));
    return runUnlocked(postmapCommand(postmapArguments(change)),
                       provider ? process::kFdPipe : process::kFdDevNull, provider, errors);
}

template <class Buffer> void append(Buffer& buffer, const std::string& text) {
    buffer.insert(buffer.end(), text.begin(), text.end());
}

// "key value": nothing is quoted; postmap takes everything after the first blank as the
// value.
template <class Buffer> void appendRecord(Buffer& buffer, const Record& record) {
    append(buffer, record.first);
    buffer.push_back(' ');
    append(buffer, record.second);
}

template <class Item, class Write>
std::string linesOf(const std::vector<Item>& items, Write write) {
    std::string text;
    for (const Item& item : items) {
        write(text, item);
        text.push_back('\n');
    }
    return text;
}

// A provider that hands postmap one line per call: what `write` puts for the next item,
// then a line feed; it reports more to come while items remain.
template <class Item, class Write>
process::Provider linePerCall(const std::vector<Item>& items, Write write) {
    auto next = std::make_shared<std::size_t>(0);
    return [&items, write, next](std::vector<char>& buffer) {
        if (*next < items.size()) {
            write(buffer, items[(*next)++]);
            buffer.push_back('\n');
        }
        return *next < items.size();
    };
}

// postmap -d also exits with 1 when a key was not there, saying nothing; only an end by a
// signal or an error line on standard error counts as a failure.
void judgeDelete(int status, const std::string& errors) {
    const bool signalled = (status & 0x7f) != 0;
    const bool exitedZero = ((status >> 8) & 0xff) == 0;
    if (signalled || (!exitedZero && !postmapOutputIsClean(errors)))
        throw PostfixDatabaseError(errors);
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

void addRecords(const std::string& table, const std::vector<Record>& records) {
    const TableChange change{TableChange::Kind::Insert, table, records, {}};
    if (isEmptyChange(change))
        return;
    std::string errors;
    if ((runChange(change, linePerCall(records, appendRecord<std::vector<char>>), errors) &
         0xff7f) != 0)
        throw PostfixConfigurationError(errors.empty() ? "unknown error" : errors);
}

void removeKeys(const std::string& table, const std::vector<std::string>& keys) {
    const TableChange change{TableChange::Kind::Delete, table, {}, keys};
    if (isEmptyChange(change))
        return;
    std::string errors;
    judgeDelete(runChange(change, linePerCall(keys, append<std::vector<char>>), errors), errors);
}

void removeKey(const std::string& table, const std::string& key) {
    std::string errors;
    judgeDelete(runChange({TableChange::Kind::DeleteOne, table, {}, {key}}, {}, errors), errors);
}

std::vector<std::string> postmapArguments(const TableChange& change) {
    switch (change.kind) {
    case TableChange::Kind::Insert:
        return {"-r", "-i", change.table};
    case TableChange::Kind::Delete:
        return {"-d", "-", change.table};
    case TableChange::Kind::DeleteOne:
        break;
    }
    return {"-d", change.keys.at(0), change.table};
}

std::string postmapInput(const TableChange& change) {
    switch (change.kind) {
    case TableChange::Kind::Insert:
        return linesOf(change.records, appendRecord<std::string>);
    case TableChange::Kind::Delete:
        return linesOf(change.keys, append<std::string>);
    case TableChange::Kind::DeleteOne:
        break;
    }
    return {};
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
    switch (change.kind) {
    case TableChange::Kind::Insert:
        addRecords(change.table, change.records);
        break;
    case TableChange::Kind::Delete:
        removeKeys(change.table, change.keys);
        break;
    case TableChange::Kind::DeleteOne:
        removeKey(change.table, change.keys.at(0));
        break;
    }
}

void applyChanges(const std::vector<TableChange>& changes) {
    for (const TableChange& change : changes)
        applyChange(change);
}

TableContents lookupKeys(const std::string& table, const std::vector<std::string>& keys) {
    TableContents contents;
    struct stat status {};
    const std::string file = tablePath(table) + ".db";
    if (::stat(file.c_str(), &status) != 0) {
        if (errno == ENOENT)
            return contents;
        throwSystemError("stat " + file, errno);
    }
    contents.exists = true;
    if (keys.empty())
        return contents;
    const process::Provider provider = linePerCall(keys, append<std::vector<char>>);
    std::string errors;
    std::string output;
    const SharedFileLock lock(tablePath(table));
    const int wait = runUnlocked(postmapCommand({"-q", "-", table}), process::kFdPipe, provider,
                                 errors, &output);
    // Exit 1 with nothing on standard error only means that no key was found.
    const bool signalled = (wait & 0x7f) != 0;
    const int exitStatus = (wait >> 8) & 0xff;
    if (signalled || exitStatus > 1 || !postmapOutputIsClean(errors))
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
