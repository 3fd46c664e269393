// The audit: documents read one at a time from files or a stream, each checked against the
// tables dumped once; names and claimed entries gathered on the way; orphans and conflicts
// found from them at the end.
#include "check/Audit.hpp"

#include "check/AuditReport.hpp"
#include "check/Encoding.hpp"
#include "check/Traps.hpp"
#include "diagnostics/Errors.hpp"
#include "driver/Document.hpp"
#include "driver/DomainKeys.hpp"
#include "driver/Plan.hpp"
#include "files/MailDirectory.hpp"
#include "postfix/database/Tables.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace corvo::check {
namespace {

namespace database = mail::postfix::database;
namespace fs = std::filesystem;

const std::string kBouncePrefix = database::bounceAliasName("");

std::size_t tableIndex(std::string_view table) {
    return table == database::kVirtualDomainsTable ? 0 : table == database::kVirtualTable ? 1 : 2;
}

std::string removal(const std::string& table, const std::string& key) {
    return "postmap -d " + shellWord(key) + " " + table;
}

// What Postfix does because of an entry that no document accounts for.
std::string entryEffect(const TableDumps& dumps, const std::string& table, const std::string& key,
                        const std::string& name, const std::string& value) {
    if (table == database::kVirtualDomainsTable)
        return "Postfix still accepts mail for " + key + " and delivers it on this server";
    if (table == database::kAliasesTable)
        return key.starts_with(kBouncePrefix)
                   ? "Postfix still pipes mail for the local alias " + key +
                         " into the bounce program"
                   : "Postfix still delivers mail for the local alias " + key + " to " + value;
    const std::string what = key.starts_with("@") ? "all mail for " + name : key;
    if (!name.empty() && !dumps.virtualDomains.find(name))
        return "Postfix does not consult it while " + name +
               " is not a virtual domain, and redirects " + what + " to " + value +
               " again once it is listed";
    return "Postfix still redirects " + what + " to " + value;
}

// Whether a directory's entry is a directory, a link to one counting as one.
bool isDirectory(const std::string& root, const dirent& entry) {
    if (entry.d_type == DT_DIR)
        return true;
    if (entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN)
        return false;
    struct stat status {};
    return ::stat((root + '/' + entry.d_name).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::vector<Orphan> directoriesUnder(const std::string& root, Orphan::Kind kind,
                                     Accounts& accounts) {
    std::vector<Orphan> orphans;
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(root.c_str()), &::closedir);
    if (!directory) {
        if (errno == ENOENT || errno == ENOTDIR)
            return orphans;
        throwSystemError("opendir " + root, errno);
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(directory.get());
        if (!entry) {
            if (errno != 0)
                throwSystemError("readdir " + root, errno);
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || accounts.named(name) || !isDirectory(root, *entry))
            continue;
        const std::string path = (fs::path(root) / name).string();
        const bool mail = kind == Orphan::Kind::MailDirectory;
        orphans.push_back(
            {kind,
             {},
             {},
             {},
             path,
             name,
             "no document has " + name + " as its domain or an alias",
             mail ? "Postfix delivers nothing into it; it keeps the mail stored for " + name
                  : "the signing of outgoing mail still finds keys for " + name,
             "rm -r -- " + shellWord(path)});
    }
    std::sort(orphans.begin(), orphans.end(),
              [](const Orphan& a, const Orphan& b) { return a.path < b.path; });
    return orphans;
}

// The parent of what names a domain under a root: the root as the tool spells it.
std::string rootOf(const std::string& entry) {
    return fs::path(entry).parent_path().string();
}

std::size_t hashOf(const std::string& name) {
    return std::hash<std::string>{}(name);
}

int worse(int a, int b) {
    return std::max(a, b);
}

} // namespace

const database::TableDump& TableDumps::of(std::string_view table) const {
    switch (tableIndex(table)) {
    case 0:
        return virtualDomains;
    case 1:
        return virtualTable;
    }
    return aliases;
}

std::string nameOfKey(std::string_view table, const std::string& key) {
    if (table == database::kVirtualDomainsTable)
        return key;
    if (table == database::kVirtualTable) {
        const std::size_t at = key.rfind('@');
        return at == std::string::npos ? std::string() : key.substr(at + 1);
    }
    return key.starts_with(kBouncePrefix) ? key.substr(kBouncePrefix.size()) : std::string();
}

Inspection inspectAgainst(const std::vector<mail::Step>& plan, const DomainInfo& domain,
                          const TableDumps& dumps, const mail::MailSystemUser& user,
                          std::vector<Claim>* claims) {
    Inspection inspection;
    inspection.entries = expectedEntries(plan, domain);
    const bool aliasesListed = mail::effectivePolicy(domain) != NonExistentMailType::Reject;
    // Every key's memory is asked for before the first find, so that the lookups wait for it
    // side by side: the slots first, then the lines they point at.
    for (const auto prefetch :
         {&database::TableDump::prefetchSlot, &database::TableDump::prefetchLine}) {
        for (const EntryCheck& entry : inspection.entries)
            (dumps.of(entry.table).*prefetch)(entry.key);
        if (aliasesListed)
            for (const std::string& alias : domain.aliases)
                (dumps.virtualDomains.*prefetch)(alias);
    }
    for (EntryCheck& entry : inspection.entries) {
        if (const auto found = dumps.of(entry.table).find(entry.key)) {
            entry.actual = std::string(found->value);
            if (claims)
                claims->push_back({tableIndex(entry.table), found->id});
        }
    }
    // As inspect: an alias's whole-domain entry counts only when it is a virtual domain. The
    // alias's own entry there is the document's name, and so accounted for.
    if (aliasesListed)
        for (const std::string& alias : domain.aliases) {
            const auto listed = dumps.virtualDomains.find(alias);
            if (!listed)
                inspection.unlistedAliases.push_back(alias);
            else if (claims)
                claims->push_back({0, listed->id});
        }
    inspection.directory = inspectMailDirectory(domain.name, user);
    inspection.keys = inspectKeys(domain);
    return inspection;
}

Accounts::Accounts(const TableDumps& dumps) : dumps_(dumps) {
    for (const std::string* table :
         {&database::kVirtualDomainsTable, &database::kVirtualTable, &database::kAliasesTable})
        claimed_[tableIndex(*table)].assign(dumps.of(*table).idCount(), false);
}

Accounts::Part Accounts::partOf(std::string source, DomainInfo domain) {
    Part part{}; // value-initialized: what the kept domain does not take stays zero
    part.names.reserve(1 + domain.aliases.size());
    part.names.push_back({hashOf(domain.name), domain.name, 0, false});
    for (std::string& alias : domain.aliases)
        part.names.push_back({hashOf(alias), std::move(alias), 0, true});
    // What a conflict needs to know again of the document: what its run writes to the tables
    // for a name (its name and mail policy; the aliases come back from the names).
    part.document.source = std::move(source);
    DomainInfo& kept = part.document.domain;
    kept.name = std::move(domain.name);
    kept.enabled = domain.enabled;
    kept.non_existent_type = domain.non_existent_type;
    kept.non_existent_arg = std::move(domain.non_existent_arg);
    return part;
}

void Accounts::add(Part part) {
    const auto index = static_cast<std::uint32_t>(documents_.size());
    for (Holder& holder : part.names) {
        holder.document = index;
        names_.push_back(std::move(holder));
    }
    sorted_ = false;
    documents_.push_back(std::move(part.document));
}

void Accounts::add(std::string source, DomainInfo domain) {
    add(partOf(std::move(source), std::move(domain)));
}

void Accounts::claim(const Claim& claim) {
    claimed_[claim.table][claim.id] = true;
}

void Accounts::sort() {
    if (sorted_)
        return;
    std::sort(names_.begin(), names_.end(), [](const Holder& a, const Holder& b) {
        return std::tie(a.hash, a.name, a.document, a.alias) <
               std::tie(b.hash, b.name, b.document, b.alias);
    });
    // A name listed twice by one document counts once (as its domain, when it is that).
    names_.erase(std::unique(names_.begin(), names_.end(),
                             [](const Holder& a, const Holder& b) {
                                 return a.name == b.name && a.document == b.document;
                             }),
                 names_.end());
    names_.shrink_to_fit();
    sorted_ = true;
}

bool Accounts::named(const std::string& name) {
    sort();
    const std::size_t hash = hashOf(name);
    const auto at = std::lower_bound(names_.begin(), names_.end(), std::tie(hash, name),
                                     [](const Holder& holder, const auto& wanted) {
                                         return std::tie(holder.hash, holder.name) < wanted;
                                     });
    return at != names_.end() && at->hash == hash && at->name == name;
}

std::vector<Orphan> Accounts::tableOrphans() {
    std::vector<Orphan> orphans;
    for (const std::string* table :
         {&database::kVirtualDomainsTable, &database::kVirtualTable, &database::kAliasesTable}) {
        const auto first = static_cast<std::ptrdiff_t>(orphans.size());
        const database::TableDump& dump = dumps_.of(*table);
        const std::vector<bool>& claimed = claimed_[tableIndex(*table)];
        for (std::size_t id = 0; id < dump.idCount(); ++id) {
            const auto entry = claimed[id] ? std::nullopt : dump.at(id);
            if (!entry)
                continue;
            const std::string key(entry->key);
            const std::string name = nameOfKey(*table, key);
            if (!name.empty() && named(name))
                continue;
            const std::string value(entry->value);
            orphans.push_back({Orphan::Kind::Entry,
                               *table,
                               key,
                               value,
                               {},
                               name,
                               name.empty()
                                   ? "the key has no form that a run writes, and names "
                                     "no domain of a document"
                                   : "no document has " + name + " as its domain or an alias",
                               entryEffect(dumps_, *table, key, name, value),
                               removal(*table, key)});
        }
        // The dump's index has no order; the report is in key order.
        std::sort(orphans.begin() + first, orphans.end(),
                  [](const Orphan& a, const Orphan& b) { return a.key < b.key; });
    }
    return orphans;
}

std::vector<Orphan> Accounts::directoryOrphans(const std::string& mailNamesRoot,
                                               const std::string& domainKeysRoot) {
    std::vector<Orphan> orphans =
        directoriesUnder(mailNamesRoot, Orphan::Kind::MailDirectory, *this);
    for (Orphan& orphan : directoriesUnder(domainKeysRoot, Orphan::Kind::DomainKeys, *this))
        orphans.push_back(std::move(orphan));
    return orphans;
}

std::vector<Conflict> Accounts::conflicts() {
    sort();
    std::vector<Conflict> conflicts;
    const auto party = [this](const Holder& holder) {
        const Document& document = documents_[holder.document];
        return Conflict::Party{document.source, document.domain.name,
                               holder.alias ? "alias" : "domain"};
    };
    // The names each involved document holds in a conflict, to see what it writes for them.
    std::map<std::uint32_t, std::vector<std::string>> involved;
    std::set<std::string> conflicting;
    for (auto first = names_.begin(); first != names_.end();) {
        const auto last = std::find_if(
            first, names_.end(), [&](const Holder& each) { return each.name != first->name; });
        const std::string& name = first->name;
        std::vector<Holder> domains, aliases;
        for (auto each = first; each != last; ++each)
            (each->alias ? aliases : domains).push_back(*each);
        first = last;
        if (domains.size() + aliases.size() < 2)
            continue;
        const auto add = [&](Conflict::Kind kind, const std::vector<Holder>& holders,
                             const std::string& effect) {
            Conflict conflict{kind, name, {}, {}, {}, effect};
            for (const Holder& holder : holders) {
                conflict.parties.push_back(party(holder));
                involved[holder.document].push_back(name);
            }
            conflicting.insert(name);
            conflicts.push_back(std::move(conflict));
        };
        if (domains.size() > 1)
            add(Conflict::Kind::DomainTwice, domains,
                "each restore rewrites the domain from its own document; the last one restored "
                "decides");
        if (!domains.empty() && !aliases.empty()) {
            std::vector<Holder> all = domains;
            all.insert(all.end(), aliases.begin(), aliases.end());
            add(Conflict::Kind::DomainAndAlias, all,
                "restoring either document takes the name over: its entries, keys and "
                "registration follow the document restored last");
        }
        if (aliases.size() > 1)
            add(Conflict::Kind::AliasTwice, aliases,
                "each restore writes the alias's entries with its own domain's policy and copies "
                "its own domain's keys; the last one restored decides");
    }
    // The names came in hash order; the report is in name order, each name's kinds as above.
    std::stable_sort(conflicts.begin(), conflicts.end(),
                     [](const Conflict& a, const Conflict& b) { return a.name < b.name; });

    // Only documents that share a name can write the same key: what each writes for the
    // names it shares, from its plan with those names as its aliases.
    std::map<std::pair<std::string, std::string>, std::vector<Conflict::Party>> written;
    for (const auto& [index, names] : involved) {
        const Document& document = documents_[index];
        DomainInfo domain = document.domain;
        for (const std::string& name : names)
            if (name != domain.name && std::find(domain.aliases.begin(), domain.aliases.end(),
                                                 name) == domain.aliases.end())
                domain.aliases.push_back(name);
        for (const EntryCheck& entry :
             expectedEntries(mail::restorePlan(domain, SubscriptionInfo{}, mail::PlanParts::Tables),
                             domain))
            if (entry.want == EntryCheck::Want::Value &&
                conflicting.contains(nameOfKey(entry.table, entry.key)))
                written[{std::string(entry.table), entry.key}].push_back(
                    {document.source, domain.name, entry.expected});
    }
    for (const auto& [where, parties] : written) {
        const bool differ = std::any_of(parties.begin(), parties.end(), [&](const auto& each) {
            return each.role != parties.front().role;
        });
        if (differ)
            conflicts.push_back(
                {Conflict::Kind::DifferentValues, nameOfKey(where.first, where.second), where.first,
                 where.second, parties, "the table holds the value of the document restored last"});
    }
    return conflicts;
}

namespace {

// One document of the audit as it came, then as read and checked apart from every other
// document (on either thread): its result, its part of the report and the entries it
// accounts for.
struct Examined {
    Examined(std::string from, std::string text, std::string whyUnreadable = {})
        : source(std::move(from)), bytes(std::move(text)), unreadable(std::move(whyUnreadable)) {}
    std::string source;
    std::string bytes;
    std::string unreadable; // why there are no bytes to read
    std::optional<DomainModel> model;
    AuditDocument document;
    std::vector<Claim> claims;
    std::optional<Accounts::Part> part; // what the run's accounts take of a checked document
    std::string report;
};

// What every document is checked against, the same for all.
struct Server {
    const TableDumps& dumps;
    const std::optional<mail::MailSystemUser>& user;
    const std::string& userError;
    const std::string& serverError;
    bool plan, json;
};

// Reads the document as the single check reads it; a refused one gets its refusal.
void read(Examined& item) {
    std::string errorText = item.unreadable;
    domain_info_trace trace{};
    if (item.unreadable.empty()) {
        try {
            item.model = readDomainModelFrom(item.bytes, errorText, &trace);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& failure) {
            errorText = failure.what();
        }
    }
    item.document.source = item.source;
    if (!item.model)
        item.document.refusal = refusalOf(errorText, trace);
}

// Reads and checks a document and renders its part of the report. Touches nothing shared
// but the dumps, which it only reads.
void examine(Examined& item, const Server& server) {
    read(item);
    if (item.model) {
        const DomainModel& model = *item.model;
        // Without --plan only what the comparison needs is planned.
        CheckResult result =
            documentResult(model, item.bytes, server.plan,
                           server.plan ? mail::PlanParts::All : mail::PlanParts::Tables);
        // Readiness is the server's, and costs processes: the single check gives it.
        result.readinessChecked = false;
        if (server.serverError.empty()) {
            try {
                if (!server.user)
                    throw std::runtime_error(server.userError);
                result.inspection = inspectAgainst(result.plan, model.domain, server.dumps,
                                                   *server.user, &item.claims);
                const std::vector<Trap> more = serverTraps(model.domain, *result.inspection);
                result.traps.insert(result.traps.end(), more.begin(), more.end());
                result.status = result.inspection->inSync() && result.traps.empty() ? 0 : 1;
            } catch (const std::bad_alloc&) {
                throw;
            } catch (const std::exception& failure) {
                result.inspection.reset();
                item.claims.clear();
                result.inspectionError = failure.what();
                result.status = 2;
            }
        } else {
            result.inspectionError = server.serverError;
            result.status = 2;
        }
        item.document.result = std::move(result);
    }
    item.report = AuditReport::rendered(item.document, server.json);
    // What the rest of the run needs of it: its status, its names, its report.
    if (item.document.result) {
        item.document.result->plan.clear();
        item.document.result->inspection.reset();
        item.part = Accounts::partOf(item.source, std::move(item.model->domain));
        item.model.reset();
    }
    item.bytes.clear();
    item.bytes.shrink_to_fit();
}

// Checks a batch of documents on two threads, each taking the next document not yet taken.
// The other thread first runs intake (the previous batch taken into the run's accounts and
// report, which no check touches), so that it runs beside the checks.
void examineAll(std::vector<Examined>& batch, const Server& server,
                const std::function<void()>& intake) {
    std::atomic<std::size_t> next{0};
    const auto share = [&] {
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < batch.size();)
            examine(batch[i], server);
    };
    std::exception_ptr failure;
    {
        // Joined when the block is left, by the end of this thread's share or by its failure.
        const std::jthread other([&] {
            try {
                intake();
                share();
            } catch (...) {
                failure = std::current_exception();
            }
        });
        share();
    }
    if (failure)
        std::rethrow_exception(failure);
}

// Documents checked at once: enough to keep both threads busy, few enough that their
// reports take little memory.
constexpr std::size_t kBatch = 512;

} // namespace

int runAudit(const std::vector<std::string>& files, bool json, bool plan, std::ostream& out) {
    AuditReport report(out, json);
    AuditSummary summary;
    TableDumps dumps;
    try {
        std::vector<database::TableDump> all = database::dumpTables(
            {database::kVirtualDomainsTable, database::kVirtualTable, database::kAliasesTable});
        dumps.virtualDomains = std::move(all[0]);
        dumps.virtualTable = std::move(all[1]);
        dumps.aliases = std::move(all[2]);
    } catch (const std::exception& failure) {
        summary.serverError = failure.what();
        dumps = TableDumps{};
    }
    Accounts accounts(dumps);
    // Looked up once for the run: the single check looks it up for its one document.
    std::optional<mail::MailSystemUser> user;
    std::string userError;
    try {
        user = mail::mailSystemUser();
    } catch (const std::exception& failure) {
        userError = failure.what();
    }
    int status = summary.serverError.empty() ? 0 : 2;
    report.begin();
    const Server server{dumps, user, userError, summary.serverError, plan, json};

    std::vector<Examined> batch, done;
    // Takes checked documents into the run's accounts and report in order, then frees them.
    const auto takeIn = [&](std::vector<Examined>& items) {
        for (Examined& item : items) {
            ++summary.documents;
            if (!item.document.result) {
                ++summary.refused;
                status = 2;
            } else {
                const int each = item.document.result->status;
                for (const Claim& claim : item.claims)
                    accounts.claim(claim);
                accounts.add(std::move(*item.part));
                summary.inSync += each == 0;
                status = worse(status, each);
            }
            report.document(item.report);
        }
        items.clear();
    };
    // Checks the batch while the one before is taken in.
    const auto flush = [&] {
        examineAll(batch, server, [&] { takeIn(done); });
        done = std::move(batch);
        batch.clear();
    };
    const auto add = [&](Examined item) {
        batch.push_back(std::move(item));
        if (batch.size() == kBatch)
            flush();
    };

    if (files.empty()) {
        DocumentStream stream(STDIN_FILENO);
        DocumentStream::Piece piece;
        while (stream.next(piece))
            add(Examined("stream document " + std::to_string(piece.number) + " at byte " +
                             std::to_string(piece.offset),
                         std::move(piece.bytes)));
    } else {
        for (const std::string& file : files) {
            try {
                add(Examined(file, readDocumentFile(file)));
            } catch (const SystemError& failure) {
                add(Examined(file, {}, failure.what()));
            }
        }
    }
    flush();
    takeIn(done);
    if (summary.serverError.empty()) {
        try {
            summary.orphans = accounts.tableOrphans();
            for (Orphan& orphan : accounts.directoryOrphans(rootOf(mail::domainMailDirectory("-")),
                                                            rootOf(mail::domainKeysEntry("-"))))
                summary.orphans.push_back(std::move(orphan));
        } catch (const std::exception& failure) {
            summary.serverError = failure.what();
            status = 2;
        }
    }
    summary.conflicts = accounts.conflicts();
    if (!summary.orphans.empty() || !summary.conflicts.empty())
        status = worse(status, 1);
    summary.status = status;
    report.end(summary);
    out.flush();
    return status;
}

} // namespace corvo::check
