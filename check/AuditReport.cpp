// Text and JSON renderings of the audit; each document in the single check's own rendering.
#include "check/AuditReport.hpp"

#include "check/Encoding.hpp"
#include "postfix/database/Postmap.hpp"

#include <filesystem>
#include <sstream>

namespace corvo::check {
namespace {

namespace database = mail::postfix::database;

// The JSON names of Orphan::Kind, in its order.
const char* orphanKind(Orphan::Kind kind) {
    static const char* const names[] = {"entry", "mail-directory", "domain-keys"};
    return names[static_cast<std::size_t>(kind)];
}

std::string orNull(const std::string& text) {
    return text.empty() ? "null" : json(text);
}

void writeOrphanText(std::ostream& out, const Orphan& orphan) {
    out << "  orphan   ";
    switch (orphan.kind) {
    case Orphan::Kind::Entry:
        out << shortTable(orphan.table) << "  " << visible(orphan.key) << " (holds "
            << visible(orphan.value) << ")";
        break;
    case Orphan::Kind::MailDirectory:
        out << "mail directory " << visible(orphan.path);
        break;
    case Orphan::Kind::DomainKeys:
        out << "domain keys " << visible(orphan.path);
        break;
    }
    out << ": " << visible(orphan.reason) << "; " << visible(orphan.effect) << '\n';
    out << "           " << orphan.command << '\n';
}

void writeConflictText(std::ostream& out, const Conflict& conflict) {
    out << "  conflict ";
    if (conflict.kind == Conflict::Kind::DifferentValues)
        out << shortTable(conflict.table) << "  " << visible(conflict.key)
            << ": written with different values";
    else
        out << visible(conflict.name) << ": " << conflictWords(conflict.kind).text;
    out << "; " << conflict.effect << '\n';
    for (const Conflict::Party& party : conflict.parties) {
        out << "           " << visible(party.source) << " (" << visible(party.domain) << ")";
        if (conflict.kind == Conflict::Kind::DifferentValues)
            out << " writes " << visible(party.role) << '\n';
        else
            out << ": " << party.role << '\n';
    }
}

} // namespace

ConflictWords conflictWords(Conflict::Kind kind) {
    switch (kind) {
    case Conflict::Kind::DomainAndAlias:
        return {"domain-and-alias", "the domain of one document and an alias of another"};
    case Conflict::Kind::AliasTwice:
        return {"alias-twice", "an alias of more than one document"};
    case Conflict::Kind::DomainTwice:
        return {"domain-twice", "the domain of more than one document"};
    case Conflict::Kind::DifferentValues:
        break;
    }
    return {"different-values", "written with different values"};
}

void AuditReport::begin() {
    if (json_)
        out_ << "{\"schema\":" << kAuditSchema << ",\"documents\":[";
}

std::string AuditReport::rendered(const AuditDocument& document, bool json) {
    std::ostringstream out;
    if (json) {
        out << "{\"source\":" << check::json(document.source) << ",\"check\":";
        document.result ? writeJson(out, *document.result) : writeJson(out, *document.refusal);
        out << '}';
    } else {
        out << "== " << visible(document.source) << '\n';
        document.result ? writeText(out, *document.result) : writeText(out, *document.refusal);
    }
    return std::move(out).str();
}

void AuditReport::document(const std::string& rendered) {
    if (json_ && written_)
        out_ << ',';
    out_ << rendered;
    ++written_;
}

void AuditReport::end(const AuditSummary& summary) {
    if (json_) {
        out_ << "],\"orphans\":";
        jsonArray(out_, summary.orphans, [&](const Orphan& orphan) {
            const bool entry = orphan.kind == Orphan::Kind::Entry;
            out_ << "{\"kind\":\"" << orphanKind(orphan.kind) << '"'
                 << ",\"table\":" << (entry ? json(orphan.table) : "null")
                 << ",\"key\":" << (entry ? json(orphan.key) : "null")
                 << ",\"value\":" << (entry ? json(orphan.value) : "null")
                 << ",\"path\":" << orNull(orphan.path) << ",\"name\":" << orNull(orphan.name)
                 << ",\"reason\":" << json(orphan.reason) << ",\"effect\":" << json(orphan.effect)
                 << ",\"command\":" << json(orphan.command) << '}';
        });
        out_ << ",\"conflicts\":";
        jsonArray(out_, summary.conflicts, [&](const Conflict& conflict) {
            const bool values = conflict.kind == Conflict::Kind::DifferentValues;
            out_ << "{\"kind\":\"" << conflictWords(conflict.kind).name << '"'
                 << ",\"name\":" << json(conflict.name)
                 << ",\"table\":" << (values ? json(conflict.table) : "null")
                 << ",\"key\":" << (values ? json(conflict.key) : "null") << ",\"documents\":";
            jsonArray(out_, conflict.parties, [&](const Conflict::Party& party) {
                out_ << "{\"source\":" << json(party.source) << ",\"domain\":" << json(party.domain)
                     << (values ? ",\"value\":" : ",\"role\":") << json(party.role) << '}';
            });
            out_ << ",\"effect\":" << json(conflict.effect) << '}';
        });
        out_ << ",\"server_error\":" << orNull(summary.serverError)
             << ",\"counts\":{\"documents\":" << summary.documents
             << ",\"refused\":" << summary.refused << ",\"in_sync\":" << summary.inSync
             << ",\"orphans\":" << summary.orphans.size()
             << ",\"conflicts\":" << summary.conflicts.size() << "},\"status\":" << summary.status
             << "}\n";
        return;
    }
    out_ << "== server\n";
    if (!summary.serverError.empty())
        out_ << "server: cannot be inspected: " << summary.serverError << '\n';
    out_ << "orphans: " << summary.orphans.size() << '\n';
    for (const Orphan& orphan : summary.orphans)
        writeOrphanText(out_, orphan);
    out_ << "conflicts: " << summary.conflicts.size() << '\n';
    for (const Conflict& conflict : summary.conflicts)
        writeConflictText(out_, conflict);
    out_ << "result: " << summary.documents << " documents, " << summary.refused << " refused, "
         << summary.inSync << " in sync, " << summary.orphans.size() << " orphans, "
         << summary.conflicts.size() << " conflicts: "
         << (summary.status == 0   ? "in sync, nothing orphaned or in conflict"
             : summary.status == 1 ? "differs, orphaned or in conflict"
                                   : "a document or the server cannot be read")
         << " (exit " << summary.status << ")\n";
}

} // namespace corvo::check
