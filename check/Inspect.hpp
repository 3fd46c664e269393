// Compares the server with what a restore would leave behind, without changing anything.
//
// Tables: every key that the plan's postmap calls write or remove is looked up, and so are
// the whole-domain and bounce keys of the domain and its aliases that no call touches (a run
// leaves those as they are, though they may no longer apply), and the aliases in the virtual
// domains table. Each table is read with one batch lookup ("postmap -q -"), the three side
// by side, under a shared hold of its lock when the lock file exists; a lock that stays held past the reader's bound
// of a few seconds (files/FileLock.hpp) leaves that table unread, and the check goes on. The
// mail directory is compared by its status, read without following a link as a run opens it,
// each alias's keys with the domain's by a walk of the domain's entry. Nothing is created,
// locked for writing, or changed.
//
// DIAGNOSTICS: inspect raises what it could not read: PostfixDatabaseError from postmap,
// corvo::SystemError (a missing mail account, a failed stat or lock), and
// std::filesystem::filesystem_error from the keys walk. Differences are results, not errors.
#pragma once

#include "driver/Plan.hpp"
#include "driver/model/DomainInfo.hpp"
#include "files/MailDirectory.hpp"

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvo::check {

// One table entry and what the table holds under its key.
struct EntryCheck {
    enum class Want { Value, Absent, Untouched };
    enum class State { Ok, Missing, Other, Present, LeftBehind };

    std::string_view table; // one of the table names of Tables.hpp, "hash:/..."
    std::string key;
    Want want;
    std::string expected; // Want::Value: the value a run writes
    std::optional<std::string> actual;

    // Ok, or for Value: Missing or Other; for Absent: Present (a run removes it); for
    // Untouched: LeftBehind (it no longer applies and a run leaves it).
    State state() const;
};

struct MailDirectoryCheck {
    // Link: a symbolic link in the directory's place, which a run refuses to follow.
    enum class State { Ok, Missing, Link, NotADirectory, OtherOwnerOrMode };

    std::string path;
    bool exists = false;
    bool isLink = false;
    bool isDirectory = false;
    uid_t uid = 0, expectedUid = 0;
    gid_t gid = 0, expectedGid = 0;
    mode_t mode = 0, expectedMode = 0;

    State state() const;
};

// One alias's copy of the domain's keys. Each problem is one line: what differs and where.
struct KeysCheck {
    // NoKeys: the domain has none, so there is nothing to copy; Differs: there are problems.
    enum class State { NoKeys, Ok, Differs };

    std::string alias;
    std::string source, target;
    bool sourceExists = false;
    std::vector<std::string> problems;

    State state() const;
};

// What each state of a compared thing is called in both reports, and whether it is a drift
// (the server differs from what a run leaves, so the check exits 1). Every state is named
// and judged here alone; inSync and the JSON report go through category(), and the text
// report's wording switches over the states without a default. A table entry's state that
// is added without being named here, or any state without its wording in the text report,
// fails to compile; a new state of the mail directory or the keys counts as a drift until
// it is named in sync.
struct Category {
    const char* name;
    bool drift;
};
Category category(EntryCheck::State state);
Category category(MailDirectoryCheck::State state);
Category category(KeysCheck::State state);

// A table whose lock stayed held past the check's wait: none of its entries was compared.
struct UnreadTable {
    std::string table;  // as postmap names it, "hash:/..."
    std::string heldBy; // "process PID (COMMAND)"
};

struct Inspection {
    std::vector<EntryCheck> entries; // none of an unread table
    std::vector<UnreadTable> unreadTables;
    std::vector<std::string> unlistedAliases; // aliases absent from the virtual domains table
    MailDirectoryCheck directory;
    std::vector<KeysCheck> keys;

    bool inSync() const;
};

// The entries to compare, in the plan's order, each with the state the last call on its key
// leaves, then the untouched whole-domain and bounce keys. actual is left empty.
std::vector<EntryCheck> expectedEntries(const std::vector<mail::Step>& plan,
                                        const DomainInfo& domain);

Inspection inspect(const std::vector<mail::Step>& plan, const DomainInfo& domain);

// The parts of inspect that read no table: the domain's mail directory (against the ids of
// the given mail account), and each alias's copy of the domain's keys, in the aliases' order.
MailDirectoryCheck inspectMailDirectory(const std::string& domain,
                                        const mail::MailSystemUser& user);
std::vector<KeysCheck> inspectKeys(const DomainInfo& domain);

} // namespace corvo::check
