// Reads the tables, the mail directory and the aliases' keys, and compares them with the
// restore plan. Read-only: postmap runs only as "postmap -q -", files are only examined.
#include "check/Inspect.hpp"

#include "diagnostics/Errors.hpp"
#include "driver/DomainKeys.hpp"
#include "files/MailDirectory.hpp"
#include "postfix/database/Postmap.hpp"
#include "postfix/database/Tables.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace corvo::check {
namespace {

namespace database = mail::postfix::database;
namespace fs = std::filesystem;
using database::TableChange;

const std::vector<std::string>& tables() {
    static const std::vector<std::string> all{database::kVirtualDomainsTable,
                                              database::kVirtualTable, database::kAliasesTable};
    return all;
}

// The table name of Tables.hpp that is spelled as the given one: entries view it, so that
// they hold no copy of their table's name.
std::string_view canonicalTable(const std::string& table) {
    for (const std::string& each : tables())
        if (each == table)
            return each;
    throw std::logic_error("not a table of the tool: " + table);
}

// Where each table's key stands among the entries, so that finding one walks nothing and
// the comparison stays linear in the aliases. The views are of keys that outlive the index:
// the plan's, and those expectedEntries makes.
class EntryIndex {
public:
    explicit EntryIndex(std::size_t expected) {
        for (Keys& keys : tables_)
            keys.reserve(expected);
    }
    EntryCheck* find(std::vector<EntryCheck>& entries, std::string_view table,
                     std::string_view key) const {
        const auto found = of(table).find(key);
        return found == of(table).end() ? nullptr : &entries[found->second];
    }
    void add(std::string_view table, std::string_view key, std::size_t at) {
        of(table).emplace(key, at);
    }

private:
    using Keys = std::unordered_map<std::string_view, std::size_t>;
    Keys& of(std::string_view table) const {
        return table == database::kVirtualDomainsTable ? tables_[0]
               : table == database::kVirtualTable      ? tables_[1]
                                                       : tables_[2];
    }
    mutable Keys tables_[3];
};

// The entry of the key, appended when it is new (so the first call on a key fixes its place).
EntryCheck& entryFor(std::vector<EntryCheck>& entries, EntryIndex& index, std::string_view table,
                     const std::string& key) {
    if (EntryCheck* entry = index.find(entries, table, key))
        return *entry;
    index.add(table, key, entries.size());
    entries.push_back({table, key, EntryCheck::Want::Absent, {}, {}});
    return entries.back();
}

std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

bool sameContent(const fs::path& a, const fs::path& b) {
    std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
    if (!first || !second)
        return false;
    return std::equal(std::istreambuf_iterator<char>(first), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(second), std::istreambuf_iterator<char>());
}

// One copied file or directory below the alias's entry against what the copy gives it.
void compareCopy(const fs::path& source, const fs::path& target, bool directory, gid_t group,
                 std::vector<std::string>& problems) {
    struct stat status {};
    if (::stat(target.c_str(), &status) != 0) {
        if (errno != ENOENT)
            throwSystemError("stat " + target.string(), errno);
        problems.push_back("missing: " + target.string());
        return;
    }
    if (directory != S_ISDIR(status.st_mode)) {
        problems.push_back("other type: " + target.string());
        return;
    }
    if (!directory && !sameContent(source, target))
        problems.push_back("other content: " + target.string());
    if (status.st_uid != 0 || status.st_gid != group)
        problems.push_back("other owner: " + target.string() + " (" +
                           std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid) +
                           ", a run gives 0:" + std::to_string(group) + ")");
    const mode_t wanted = directory ? mail::kKeyDirectoryMode : mail::kKeyFileMode;
    if ((status.st_mode & 07777) != wanted)
        problems.push_back("other mode: " + target.string() + " (" + octal(status.st_mode) +
                           ", a run gives " + octal(wanted) + ")");
}

// The group a run gives the copies: a fact of the server, the same for every document, and
// looked up once, by the first document that has keys (on whichever thread reads it).
gid_t keysGroupOfServer() {
    static const gid_t group = mail::keysGroup();
    return group;
}

} // namespace

std::vector<KeysCheck> inspectKeys(const DomainInfo& domain) {
    std::vector<KeysCheck> checks;
    checks.reserve(domain.aliases.size());
    const std::string source = mail::domainKeysEntry(domain.name);
    // The copy follows links, so the comparison does too. The domain's entry is examined
    // once for all its aliases.
    struct stat status {};
    const bool exists = ::stat(source.c_str(), &status) == 0;
    if (!exists && errno != ENOENT && errno != ENOTDIR)
        throwSystemError("stat " + source, errno);
    const gid_t group = exists ? keysGroupOfServer() : 0;
    for (const std::string& alias : domain.aliases) {
        KeysCheck& check = checks.emplace_back(
            KeysCheck{alias, source, mail::domainKeysEntry(alias), exists, {}});
        if (!exists)
            continue;
        const fs::path from = check.source, target = check.target;
        if (!S_ISDIR(status.st_mode)) {
            compareCopy(from, target, false, group, check.problems);
            continue;
        }
        if (!fs::is_directory(fs::status(target))) {
            check.problems.push_back("missing: " + target.string());
            continue;
        }
        // The alias's own top directory keeps whatever the copy gave it; only below is
        // compared.
        for (const fs::directory_entry& item : fs::recursive_directory_iterator(
                 from, fs::directory_options::follow_directory_symlink)) {
            const bool directory = item.is_directory();
            if (directory || item.is_regular_file())
                compareCopy(item.path(), target / fs::relative(item.path(), from), directory,
                            group, check.problems);
        }
    }
    return checks;
}

MailDirectoryCheck inspectMailDirectory(const std::string& domain,
                                        const mail::MailSystemUser& user) {
    MailDirectoryCheck check;
    check.path = mail::domainMailDirectory(domain);
    check.expectedUid = user.uid;
    check.expectedGid = user.gid;
    check.expectedMode = mail::kDomainMailDirectoryMode;
    struct stat status {};
    // A run opens the directory without following links, and so it is examined here.
    if (::lstat(check.path.c_str(), &status) != 0) {
        if (errno != ENOENT)
            throwSystemError("stat " + check.path, errno);
        return check;
    }
    check.exists = true;
    check.isLink = S_ISLNK(status.st_mode);
    check.isDirectory = S_ISDIR(status.st_mode);
    check.uid = status.st_uid;
    check.gid = status.st_gid;
    check.mode = status.st_mode & 07777;
    return check;
}

EntryCheck::State EntryCheck::state() const {
    switch (want) {
    case Want::Value:
        return !actual ? State::Missing : *actual == expected ? State::Ok : State::Other;
    case Want::Absent:
        return actual ? State::Present : State::Ok;
    case Want::Untouched:
        break;
    }
    return actual ? State::LeftBehind : State::Ok;
}

MailDirectoryCheck::State MailDirectoryCheck::state() const {
    if (!exists)
        return State::Missing;
    if (isLink)
        return State::Link;
    if (!isDirectory)
        return State::NotADirectory;
    return uid == expectedUid && gid == expectedGid && mode == expectedMode
               ? State::Ok
               : State::OtherOwnerOrMode;
}

KeysCheck::State KeysCheck::state() const {
    return !sourceExists ? State::NoKeys : problems.empty() ? State::Ok : State::Differs;
}

// What both reports call a mail directory or an alias's keys that is, or is not, as a run
// leaves it.
constexpr Category kOk{"ok", false};
constexpr Category kDiffers{"differs", true};

Category category(EntryCheck::State state) {
    using State = EntryCheck::State;
    switch (state) {
    case State::Ok:
        return kOk;
    case State::Missing:
        return {"missing", true};
    case State::Other:
        return {"other", true};
    case State::Present:
        return {"present", true};
    case State::LeftBehind:
        break;
    }
    return {"left", true};
}

// Both are in sync only in the states named here; any other one drifts.
Category category(MailDirectoryCheck::State state) {
    return state == MailDirectoryCheck::State::Ok ? kOk : kDiffers;
}

Category category(KeysCheck::State state) {
    return state == KeysCheck::State::Ok || state == KeysCheck::State::NoKeys ? kOk : kDiffers;
}

bool Inspection::inSync() const {
    const auto drift = [](const auto& check) { return category(check.state()).drift; };
    return std::none_of(entries.begin(), entries.end(), drift) &&
           std::none_of(keys.begin(), keys.end(), drift) && !drift(directory);
}

std::vector<EntryCheck> expectedEntries(const std::vector<mail::Step>& plan,
                                        const DomainInfo& domain) {
    // Room for every key of the plan and every untouched one, so that the list is not moved.
    std::size_t keys = 2 * (1 + domain.aliases.size());
    for (const mail::Step& step : plan)
        if (const auto* table = std::get_if<mail::TableStep>(&step))
            for (const TableChange& change : table->changes)
                keys += change.records.size() + change.keys.size();
    std::vector<EntryCheck> entries;
    entries.reserve(keys);
    EntryIndex index(keys);
    for (const mail::Step& step : plan) {
        const auto* table = std::get_if<mail::TableStep>(&step);
        if (table == nullptr)
            continue;
        for (const TableChange& change : table->changes) {
            const std::string_view name = canonicalTable(change.table);
            for (const database::Record& record : change.records) {
                EntryCheck& entry = entryFor(entries, index, name, record.first);
                entry.want = EntryCheck::Want::Value;
                entry.expected = record.second;
            }
            for (const std::string& key : change.keys) {
                EntryCheck& entry = entryFor(entries, index, name, key);
                entry.want = EntryCheck::Want::Absent;
                entry.expected.clear();
            }
        }
    }
    // The whole-domain and bounce keys of each name, made here: the index views them where
    // they stay, in a list that is not moved while it is used.
    std::vector<std::string> made;
    made.reserve(2 * (1 + domain.aliases.size()));
    const auto untouched = [&](const std::string& name) {
        for (const auto& [table, key] :
             {std::pair{&database::kVirtualTable, database::wholeDomainKey(name)},
              std::pair{&database::kAliasesTable, database::bounceAliasName(name)}}) {
            if (index.find(entries, *table, key))
                continue;
            index.add(*table, made.emplace_back(key), entries.size());
            entries.push_back({*table, key, EntryCheck::Want::Untouched, {}, {}});
        }
    };
    untouched(domain.name);
    for (const std::string& alias : domain.aliases)
        untouched(alias);
    return entries;
}

Inspection inspect(const std::vector<mail::Step>& plan, const DomainInfo& domain) {
    Inspection inspection;
    inspection.entries = expectedEntries(plan, domain);
    // A whole-domain entry of an alias counts only when the alias is a virtual domain.
    static const std::vector<std::string> none;
    const std::vector<std::string>& listed =
        mail::effectivePolicy(domain) != NonExistentMailType::Reject ? domain.aliases : none;

    std::vector<database::TableQuery> queries;
    for (const std::string& table : tables()) {
        database::TableQuery& query = queries.emplace_back(database::TableQuery{table, {}});
        for (const EntryCheck& entry : inspection.entries)
            if (entry.table == table)
                query.keys.push_back(entry.key);
        if (table == database::kVirtualDomainsTable)
            query.keys.insert(query.keys.end(), listed.begin(), listed.end());
    }
    const std::vector<database::TableContents> read = database::lookupKeys(queries);
    for (std::size_t i = 0; i < queries.size(); ++i) {
        const std::string& table = queries[i].table;
        const database::TableContents& contents = read[i];
        if (!contents.heldBy.empty()) {
            inspection.unreadTables.push_back({table, contents.heldBy});
            std::erase_if(inspection.entries,
                          [&](const EntryCheck& entry) { return entry.table == table; });
            continue;
        }
        for (EntryCheck& entry : inspection.entries)
            if (entry.table == table)
                if (const auto found = contents.values.find(entry.key))
                    entry.actual = std::string(found->value);
        if (table == database::kVirtualDomainsTable)
            for (const std::string& alias : listed)
                if (!contents.values.find(alias))
                    inspection.unlistedAliases.push_back(alias);
    }

    inspection.directory = inspectMailDirectory(domain.name, mail::mailSystemUser());
    inspection.keys = inspectKeys(domain);
    return inspection;
}

} // namespace corvo::check
