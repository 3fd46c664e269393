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

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string_view>

namespace corvo::mail::postfix::database {

namespace {

const std::string postmapProgram = "/usr/sbin/postmap";

// argv is "/usr/sbin/postmap" and the arguments, each as given: an empty key or table name
// stays an argument of its own instead of ending the list.
process::Command postmapCommand(std::initializer_list<std::string> arguments) {
    process::Command command(postmapProgram);
    command.argv.insert(command.argv.end(), arguments);
    return command;
}

// Runs the command once under the lock of the table's path; returns the raw wait status
// and leaves postmap's standard error in errors. Standard output stays the tool's own.
int runPostmap(const std::string& table, const process::Command& command, int stdinCode,
               const process::Provider& provider, std::string& errors) {
    FileLock lock(tablePath(table));
    process::Pipe pipe(command);
    pipe.setStdin(stdinCode, provider);
    pipe.setStderr(process::FD_PIPE, process::Pipe::appendTo(errors));
    return pipe.run();
}

void append(std::vector<char>& buffer, const std::string& text) {
    buffer.insert(buffer.end(), text.begin(), text.end());
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
    if (records.empty())
        return;
    // "key value": nothing is quoted; postmap takes everything after the first blank as the
    // value.
    const process::Provider provider =
        linePerCall(records, [](std::vector<char>& buffer, const Record& record) {
            append(buffer, record.first);
            buffer.push_back(' ');
            append(buffer, record.second);
        });
    std::string errors;
    const int status =
        runPostmap(table, postmapCommand({"-r", "-i", table}), process::FD_PIPE, provider, errors);
    if ((status & 0xff7f) != 0)
        throw PostfixConfigurationError(errors.empty() ? "unknown error" : errors);
}

void removeKeys(const std::string& table, const std::vector<std::string>& keys) {
    if (keys.empty())
        return;
    const process::Provider provider = linePerCall(keys, append);
    std::string errors;
    const int status =
        runPostmap(table, postmapCommand({"-d", "-", table}), process::FD_PIPE, provider, errors);
    judgeDelete(status, errors);
}

void removeKey(const std::string& table, const std::string& key) {
    std::string errors;
    const int status = runPostmap(table, postmapCommand({"-d", key, table}), process::FD_DEVNULL,
                                  process::Provider(), errors);
    judgeDelete(status, errors);
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
