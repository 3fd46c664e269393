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
// "postmap -s" run; the readers of several tables run side by side, each under a shared hold
// of its table's lock when the lock file exists (a reader never creates one), taken within
// kSharedLockWaitMs or not at all. A reader's postmap reads its keys from, and writes what it
// finds to, files in memory: they are read whole once it has ended, with no pipe to serve
// while it runs.
//
// DIAGNOSTICS: a failed insert raises PostfixConfigurationError and a failed delete
// PostfixDatabaseError, each carrying postmap's standard error. Lock failures and failures
// to start or watch postmap pass through unchanged. Nothing is retried or undone.
#pragma once

#include "lib/process/lib/Invocation.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
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

// Entries of a table, as a "postmap -s TABLE" run (all of them) or a "postmap -q - TABLE"
// run (those of the keys asked for) wrote them: its output, kept whole
// where postmap wrote it, and a hash index over its lines, built in one pass, so that finding
// a key costs the same whatever the table's size. A table whose file is absent holds nothing.
// Each entry has an id below idCount(), fixed for the dump's life, by which a caller can mark
// it; walking the ids gives every entry once, in no particular order.
class TableDump {
public:
    struct Entry {
        std::string_view key, value;
        std::size_t id;
    };

    TableDump() = default; // the table's file is absent
    // Indexes text, "key<TAB>value" lines (keys hold no blanks, values may); a line without a
    // tab is a key with an empty value, an empty line is no entry, and of two lines with one
    // key the first counts. `bytes` keeps the text alive.
    TableDump(std::shared_ptr<const char> bytes, std::string_view text);
    explicit TableDump(std::string text);

    bool exists() const { return exists_; }
    std::size_t size() const { return size_; }
    std::size_t idCount() const { return slots_.size(); }
    std::optional<Entry> find(std::string_view key) const;
    // Start loading what find(key) reads, without waiting for it: the key's first slot, and
    // then (once that slot is loaded) the line it points at. Asked for many keys before their
    // finds, the lookups wait for memory side by side rather than one after another.
    void prefetchSlot(std::string_view key) const;
    void prefetchLine(std::string_view key) const;
    std::optional<Entry> at(std::size_t id) const; // none when no entry has the id

private:
    Entry entryAt(std::uint32_t start, std::size_t id) const;

    std::shared_ptr<const char> bytes_;
    std::string_view text_;
    // Open addressing, linear probing: the key's hash in the high half, its line's offset
    // plus one in the low half; 0 marks a free slot.
    std::vector<std::uint64_t> slots_;
    std::size_t size_ = 0;
    bool exists_ = false;
};

// What a table holds for some keys. `exists` is false when the table's file is absent,
// which postmap would report as a fatal error; such a table holds nothing.
struct TableContents {
    bool exists = false;
    TableDump values; // the keys found, with their values
    // Who held the table's lock past the reader's wait ("process PID (COMMAND)"): nothing was
    // read. Empty when the table was read.
    std::string heldBy;
};

// The keys to look up in one table, viewed where the caller keeps them.
struct TableQuery {
    std::string table;
    std::vector<std::string_view> keys;
};

// Looks each table's keys up in one "postmap -q - TABLE" run (none when its list is empty or
// its file is absent), the runs side by side, each under a shared hold of its table's lock
// when the lock file exists; every hold is taken before the first run starts. A lock held
// past kSharedLockWaitMs leaves that table unread, with heldBy set. The contents are in the
// order of the queries. Raises PostfixDatabaseError with postmap's standard error when one
// fails otherwise.
std::vector<TableContents> lookupKeys(const std::vector<TableQuery>& queries);

// Reads each table whole in one "postmap -s TABLE" run, the runs side by side, under shared
// holds of the tables' locks as lookupKeys takes them; the dumps are in the order of the
// tables. Raises PostfixDatabaseError when a lock stays held, and with postmap's standard
// error when a run fails or its output passes 4 GiB.
std::vector<TableDump> dumpTables(const std::vector<std::string>& tables);

// True when postmap's standard error holds no line in which a program name and a colon are
// followed by "panic:", "fatal:" or "error:". Warnings and free text are harmless.
bool postmapOutputIsClean(const std::string& text);

// The part of a table name after its first colon, or the whole name when it has none; the
// name of the table's lock.
std::string tablePath(const std::string& table);

} // namespace corvo::mail::postfix::database
