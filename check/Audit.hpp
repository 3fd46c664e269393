// The audit of the whole server: every domain's document in one run, each checked as the
// single check does, against tables read once each ("postmap -s", the three side by side,
// under the table's shared lock when its lock file exists) whatever the number of
// documents; then what no document accounts for (orphans, each with the shell line that
// would remove it, printed and never run) and where documents contradict each other
// (conflicts).
//
// Guarantees: read-only, as the single check; only postmap's dump mode runs. Documents are
// read in batches of a few hundred, checked on two threads (each document apart from the
// others, against the dumps that both only read), and each batch's reports are written in
// order while the next batch is checked, so memory grows with the tables and the names of
// the documents, not with their reports. Output order: the documents in the order given, then
// orphans in table and key order, then conflicts in name order.
//
// DIAGNOSTICS: a document that cannot be read, or a server that cannot be inspected, is a
// result (exit 2), not an error; runAudit raises only what reading standard input, the
// output stream or allocation raise.
#pragma once

#include "check/Report.hpp"
#include "driver/model/DomainInfo.hpp"
#include "files/MailDirectory.hpp"
#include "postfix/database/Postmap.hpp"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace corvo::check {

// An entry or a directory that no document accounts for: no document has its name as domain
// or alias, and no run of any document writes it or leaves it behind.
struct Orphan {
    enum class Kind { Entry, MailDirectory, DomainKeys };
    Kind kind;
    std::string table; // Entry: as postmap names it
    std::string key, value;
    std::string path; // the directories
    std::string name; // the domain name it stands for; empty when it names none
    std::string reason, effect;
    std::string command; // one shell line that removes it
};

// Documents that contradict each other on a name, or on the value of one key.
struct Conflict {
    enum class Kind { DomainAndAlias, AliasTwice, DomainTwice, DifferentValues };
    struct Party {
        std::string source;
        std::string domain;
        std::string role; // "domain" or "alias"; for DifferentValues the value it writes
    };
    Kind kind;
    std::string name;
    std::string table, key; // DifferentValues
    std::vector<Party> parties;
    std::string effect;
};

// One document of the audit: where it came from ("FILE", or "stream document N at byte B")
// and either its check or its refusal.
struct AuditDocument {
    std::string source;
    std::optional<CheckResult> result;
    std::optional<Refusal> refusal;
};

struct AuditSummary {
    std::size_t documents = 0, refused = 0, inSync = 0;
    std::vector<Orphan> orphans;
    std::vector<Conflict> conflicts;
    std::string serverError; // empty when the tables and directories were read
    int status = 0;
};

// The three tables of the server, each read whole.
struct TableDumps {
    mail::postfix::database::TableDump virtualDomains, virtualTable, aliases;
    const mail::postfix::database::TableDump& of(std::string_view table) const;
};

// A dumped entry that a document's run writes or leaves behind: the table's place among the
// three (virtual domains, virtual, aliases) and the entry's id in its dump.
struct Claim {
    std::size_t table;
    std::size_t id;
};

// What accounts for an entry or a directory: the documents' names, and the table entries
// that their runs write or leave behind. Kept small, for there may be a million names: each
// name once per document in one list, sorted by its hash when first asked (so that a sort
// compares numbers, and names only where they are equal), and one bit per dumped entry.
class Accounts {
public:
    // A name of a document, the document's place in the order of adding, and its role.
    struct Holder {
        std::size_t hash; // of the name
        std::string name;
        std::uint32_t document;
        bool alias;
    };
    struct Document {
        std::string source;
        DomainInfo domain; // the name and policy; aliases come back from the names
    };
    // What one document adds, taken from it apart from the accounts (on any thread), so that
    // adding it in order only moves it in.
    struct Part {
        Document document;
        std::vector<Holder> names;
    };
    static Part partOf(std::string source, DomainInfo domain);

    explicit Accounts(const TableDumps& dumps);
    // One document's names; its entries are claimed one by one as they are found.
    void add(Part part);
    void add(std::string source, DomainInfo domain);
    void claim(const Claim& claim);
    bool named(const std::string& name);
    // Orphans of the tables, then of the directories under the two roots.
    std::vector<Orphan> tableOrphans();
    std::vector<Orphan> directoryOrphans(const std::string& mailNamesRoot,
                                         const std::string& domainKeysRoot);
    std::vector<Conflict> conflicts();

private:
    void sort();

    const TableDumps& dumps_;
    std::vector<Document> documents_;
    std::vector<Holder> names_;
    bool sorted_ = true;
    std::vector<bool> claimed_[3];
};

// The domain name a table key stands for ("D", "N@D" and "@D", "_corvo_bounce_D"), or empty
// when the key has none of the forms a run writes.
std::string nameOfKey(std::string_view table, const std::string& key);

// The single check's inspection of one document, its table entries taken from the dumps (and
// the entries it accounts for added to claims when given), the mail directory compared with
// the given account's ids. Reads the dumps only, so documents may be inspected side by side.
Inspection inspectAgainst(const std::vector<mail::Step>& plan, const DomainInfo& domain,
                          const TableDumps& dumps, const mail::MailSystemUser& user,
                          std::vector<Claim>* claims = nullptr);

// Audits the documents in the files, or with none the stream on standard input, and writes
// the report; returns the exit status (0 all in sync, 1 anything differs, 2 unreadable).
int runAudit(const std::vector<std::string>& files, bool json, bool plan, std::ostream& out);

} // namespace corvo::check
