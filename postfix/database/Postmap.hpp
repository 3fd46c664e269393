// Lookup table access through postmap.
//
// The tool never opens an indexed table itself: every change runs /usr/sbin/postmap once,
// under the exclusive named lock of the table's path, with the records or keys on its
// standard input (or a single key on its command line) and its standard error collected.
// An empty batch costs nothing: no lock, no process. The lock is released on every path.
//
// DIAGNOSTICS: a failed insert raises PostfixConfigurationError carrying postmap's standard
// error ("unknown error" when it wrote none); a failed delete raises PostfixDatabaseError
// carrying that text unchanged, possibly empty. Lock failures ("lock() failed") and
// failures to start or watch postmap pass through unchanged. Nothing is retried or undone.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace corvo::mail::postfix::database {

using Record = std::pair<std::string, std::string>;

// Inserts or replaces the records, in order ("postmap -r -i TABLE", one "key value" line
// per record, nothing quoted). Succeeds only when postmap exits with status 0.
void addRecords(const std::string& table, const std::vector<Record>& records);

// Deletes the keys ("postmap -d - TABLE", one key per line). Keys that are absent are no
// failure: postmap reports them by its exit status alone.
void removeKeys(const std::string& table, const std::vector<std::string>& keys);

// Deletes one key ("postmap -d KEY TABLE"), judged like removeKeys.
void removeKey(const std::string& table, const std::string& key);

// True when postmap's standard error holds no line in which a program name and a colon are
// followed by "panic:", "fatal:" or "error:". Warnings and free text are harmless.
bool postmapOutputIsClean(const std::string& text);

// The part of a table name after its first colon, or the whole name when it has none; the
// name of the table's lock.
std::string tablePath(const std::string& table);

} // namespace corvo::mail::postfix::database
