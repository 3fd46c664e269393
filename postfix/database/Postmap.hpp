// Lookup table access through postmap.
//
// The tool never opens an indexed table itself: every change runs /usr/sbin/postmap once,
// under the exclusive named lock of the table's path, with the records or keys on its
// standard input (or a single key on its command line) and its standard error collected.
// An empty batch costs nothing: no lock, no process. The lock is held for postmap as well,
// by a keeper process that ends with it (lib/process/lib/Pipe.hpp, keptDescriptor), so the
// lock ends only when both the tool and postmap have ended: a tool killed while postmap
// writes leaves the table locked until postmap is done. The tool's hold is released on every
// path.
// A change is first described (TableChange: which call, which lines on standard input) and
// then made, so that a dry run can show the very calls that a run makes. Reading a table
// back is one "postmap -q -" run with every key on standard input, and reading all of it one
// "postmap -s" run, each under a shared hold of the table's lock when its lock file exists
// (a reader never creates one), taken within kSharedLockWaitMs or not at all.
//
// DIAGNOSTICS: a failed insert raises PostfixConfigurationError and a failed delete
// PostfixDatabaseError, each carrying postmap's standard error. Lock failures and failures
// to start or watch postmap pass through unchanged. Nothing is retried or undone.
#pragma once

#include "lib/process/lib/Invocation.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvo::mail::postfix::database {

using Record = std::pair<std::string, std::string>;

inline const std::string kPostmapProgram = "/usr/sbin/postmap";

// One postmap call on one table: insert or replace records, delete keys read from standard
// input, or delete the one key named on the command line.
struct TableChange {
    enum class Kind { Insert, Delete, DeleteOne };
    Kind kind;
    std::string table;
    std::vector<Record> records;   // Insert
    std::vector<std::string> keys; // Delete; DeleteOne holds exactly one
};

// The call that makes the change: "postmap -r -i TABLE" with one "key value" line per record
// (nothing quoted), "postmap -d - TABLE" with one key per line, or "postmap -d KEY TABLE"
// reading nothing. The one place where postmap's command line is spelled.
process::Invocation postmapCall(const TableChange& change);

// True when the change makes no call at all (an empty batch).
bool isEmptyChange(const TableChange& change);

// Makes the change with one run of postmapCall(change). An insert succeeds only when postmap
// exits with status 0. A delete also succeeds when postmap exits with another status and
// writes no error line: that is how it reports keys that were absent.
void applyChange(const TableChange& change);

// What a table holds for some keys. `exists` is false when the table's file is absent,
// which postmap would report as a fatal error; such a table holds nothing.
struct TableContents {
    bool exists = false;
    std::map<std::string, std::string> values; // the keys found, with their values
    // Who held the table's lock past the reader's wait ("process PID (COMMAND)"): nothing was
    // read. Empty when the table was read.
    std::string heldBy;
};

// Looks the keys up in one "postmap -q - TABLE" run (none when the list is empty or the
// table file is absent), under a shared hold of the table's lock when the lock file exists;
// a lock held past kSharedLockWaitMs leaves the table unread, with heldBy set.
// Raises PostfixDatabaseError with postmap's standard error when it fails otherwise.
TableContents lookupKeys(const std::string& table, const std::vector<std::string>& keys);

// Every entry of a table, as one "postmap -s TABLE" run wrote them: its output, kept whole,
// and the place of each entry in it, in byte order of the keys. `exists` is false when the
// table's file is absent; such a table holds nothing and no postmap runs.
struct TableDump {
    struct Entry {
        std::uint32_t key;    // offset of the key in text
        std::uint32_t length; // of the key; its value follows after one tab, up to a line feed
        std::uint32_t end;    // offset of the value's end
    };
    bool exists = false;
    std::string text;
    std::vector<Entry> entries;

    std::string_view key(const Entry& entry) const;
    std::string_view value(const Entry& entry) const;
    // The entry of the key, or null.
    const Entry* find(std::string_view key) const;
};

// Reads the whole table in one "postmap -s TABLE" run, under a shared hold of the table's
// lock when the lock file exists, as lookupKeys does. Raises PostfixDatabaseError with
// postmap's standard error when it fails, and when its output passes 4 GiB.
TableDump dumpTable(const std::string& table);

// True when postmap's standard error holds no line in which a program name and a colon are
// followed by "panic:", "fatal:" or "error:". Warnings and free text are harmless.
bool postmapOutputIsClean(const std::string& text);

// The part of a table name after its first colon, or the whole name when it has none; the
// name of the table's lock.
std::string tablePath(const std::string& table);

} // namespace corvo::mail::postfix::database
