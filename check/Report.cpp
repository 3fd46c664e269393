// Text and JSON renderings of the check's findings and of the restore plan.
#include "check/Report.hpp"

#include "check/DocumentText.hpp"
#include "check/Encoding.hpp"
#include "driver/DomainKeys.hpp"
#include "files/FileLock.hpp"
#include "files/MailDirectory.hpp"
#include "postfix/database/Postmap.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace corvo::check {
namespace {

namespace database = mail::postfix::database;
using State = EntryCheck::State;


std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

std::string ids(uid_t uid, gid_t gid) {
    return std::to_string(uid) + ":" + std::to_string(gid);
}

// A text padded with blanks to width (a longer one is kept whole).
void appendPadded(std::string& out, std::string_view text, std::size_t width) {
    out += text;
    if (text.size() < width)
        out.append(width - text.size(), ' ');
}

// The two blanks and the name of a state, padded to the column where findings start.
void appendLabel(std::string& out, const Category& category) {
    out += "  ";
    appendPadded(out, category.name, 9);
}

std::string label(const Category& category) {
    std::string text;
    appendLabel(text, category);
    return text;
}

// The severity of a drift, padded; blanks of the same width for a thing in sync.
void appendSeverityColumn(std::string& out, const Category& category, Severity severity) {
    appendPadded(out, category.drift ? severityName(severity) : "", 10);
}

std::string severityColumn(const Category& category, Severity severity) {
    std::string text;
    appendSeverityColumn(text, category, severity);
    return text;
}

std::string jsonSeverity(const Category& category, Severity severity) {
    return category.drift ? json(std::string(severityName(severity))) : "null";
}

const char* wantName(EntryCheck::Want want) {
    switch (want) {
    case EntryCheck::Want::Value:
        return "value";
    case EntryCheck::Want::Absent:
        return "absent";
    case EntryCheck::Want::Untouched:
        break;
    }
    return "untouched";
}

// --- JSON ------------------------------------------------------------------------------

std::vector<std::string> inputLines(const std::string& input) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = input.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(input.substr(start, end - start));
    return lines;
}

std::vector<std::string> argv(const process::Invocation& command) {
    std::vector<std::string> all{command.program};
    all.insert(all.end(), command.arguments.begin(), command.arguments.end());
    return all;
}

// A command as sh reads it: each word in single quotes.
std::string commandLine(const process::Invocation& command) {
    std::string line;
    for (const std::string& argument : argv(command))
        line += (line.empty() ? "" : " ") + shellWord(argument);
    return line;
}

// One element per postmap call of a table step, so a reject step adds none.
void writePlanJson(std::ostream& out, const std::vector<mail::Step>& plan) {
    std::vector<std::string> elements;
    for (const mail::Step& step : plan) {
        const std::vector<process::Invocation> commands = mail::commandsOf(step);
        if (const auto* directory = std::get_if<mail::MailDirectoryStep>(&step)) {
            elements.push_back("{\"step\":\"mail-directory\",\"path\":" +
                               json(mail::domainMailDirectory(directory->domain)) +
                               ",\"mode\":" + json(octal(mail::kDomainMailDirectoryMode)) + '}');
        } else if (const auto* keys = std::get_if<mail::DomainKeysStep>(&step)) {
            elements.push_back("{\"step\":\"domain-keys\",\"alias\":" + json(keys->alias) + '}');
        } else if (const auto* utility = std::get_if<mail::UtilityStep>(&step)) {
            elements.push_back("{\"step\":\"utility\",\"argv\":" + json(argv(commands.at(0))) +
                               ",\"when_it_fails\":" +
                               (utility->otherwise ? json(argv(*utility->otherwise)) : "null") +
                               ",\"failure_ignored\":" + json(utility->failureIgnored) + '}');
        } else {
            for (const process::Invocation& call : commands)
                elements.push_back("{\"step\":\"postmap\",\"argv\":" + json(argv(call)) +
                                   ",\"stdin\":" + json(call.input) + '}');
        }
    }
    jsonArray(out, elements, [&](const std::string& element) { out << element; });
}

// --- text ------------------------------------------------------------------------------

void writePlanStepText(std::ostream& out, const mail::Step& step) {
    if (const auto* directory = std::get_if<mail::MailDirectoryStep>(&step)) {
        out << "  # mail directory " << mail::domainMailDirectory(directory->domain)
            << ": created when missing, given to popuser with mode "
            << octal(mail::kDomainMailDirectoryMode) << '\n';
    } else if (const auto* keys = std::get_if<mail::DomainKeysStep>(&step)) {
        const std::filesystem::path entry = mail::domainKeysEntry(keys->alias);
        out << "  # keys: " << entry.parent_path().string() << '/' << "<domain> copied to "
            << entry.string() << " when the domain has keys\n";
    }
    // Pasted into sh, each call gets the very bytes on its standard input that the run
    // gives it: one printf word per line, piped into the command.
    for (const process::Invocation& command : mail::commandsOf(step)) {
        if (command.input.empty()) {
            out << "  " << commandLine(command) << '\n';
            continue;
        }
        out << "  printf '%s\\n'";
        for (const std::string& line : inputLines(command.input))
            out << " \\\n    " << shellWord(line);
        out << " |\n    " << commandLine(command) << '\n';
    }
    if (const auto* utility = std::get_if<mail::UtilityStep>(&step)) {
        if (utility->otherwise)
            out << "    # when it fails: " << commandLine(*utility->otherwise) << '\n';
        if (utility->failureIgnored)
            out << "    # a failure is ignored\n";
    }
}

// A value as the text report shows it: a long one cut, so that a row stays readable (the
// JSON report has it whole).
void appendShownValue(std::string& out, const std::string& value) {
    constexpr std::size_t kShown = 160;
    if (value.size() <= kShown) {
        appendVisible(out, value);
        return;
    }
    appendVisible(out, std::string_view(value).substr(0, kShown));
    out += "... (" + std::to_string(value.size()) + " bytes in all)";
}

// One row per entry, built whole and written at once: an audit writes millions of them.
void writeEntryText(std::ostream& out, const EntryCheck& entry) {
    const State state = entry.state();
    if (entry.want == EntryCheck::Want::Untouched && state == State::Ok)
        return; // nothing there, nothing to say
    thread_local std::string row;
    row.clear();
    appendLabel(row, category(state));
    appendSeverityColumn(row, category(state), severityOf(entry));
    row += shortTable(entry.table);
    row += "  ";
    appendVisible(row, entry.key);
    const auto writes = [&] {
        row += " -> ";
        appendShownValue(row, entry.expected);
    };
    const auto holds = [&] {
        row += " (holds ";
        appendShownValue(row, *entry.actual);
        row += ')';
    };
    switch (state) {
    case State::Ok:
        entry.want == EntryCheck::Want::Value ? writes() : void(row += ": no entry");
        break;
    case State::Missing:
        writes();
        break;
    case State::Other:
        writes();
        holds();
        break;
    case State::Present:
        holds();
        row += ": a run removes it";
        break;
    case State::LeftBehind:
        holds();
        row += ": no longer applies, and a run leaves it";
        break;
    }
    row += '\n';
    out.write(row.data(), static_cast<std::streamsize>(row.size()));
}

void writeKeysText(std::ostream& out, const KeysCheck& keys) {
    const KeysCheck::State state = keys.state();
    out << label(category(state)) << severityColumn(category(state), Severity::Warning)
        << keys.alias << ": ";
    switch (state) {
    case KeysCheck::State::NoKeys:
        out << "the domain has no keys (" << visible(keys.source) << "), nothing to copy\n";
        return;
    case KeysCheck::State::Ok:
    case KeysCheck::State::Differs:
        break;
    }
    out << visible(keys.target) << " against " << visible(keys.source) << '\n';
    for (const std::string& problem : keys.problems)
        out << "                     " << visible(problem) << '\n';
}

void writeDirectoryText(std::ostream& out, const MailDirectoryCheck& directory) {
    using DirectoryState = MailDirectoryCheck::State;
    const DirectoryState state = directory.state();
    out << "mail directory: " << category(state).name << "  "
        << (category(state).drift ? std::string(severityName(severityOf(directory))) + "  " : "")
        << visible(directory.path);
    const std::string wanted = "owner " + ids(directory.expectedUid, directory.expectedGid) +
                               ", mode " + octal(directory.expectedMode);
    switch (state) {
    case DirectoryState::Ok:
        out << " (" << wanted << ")";
        break;
    case DirectoryState::Missing:
        out << ": missing (a run creates it, " << wanted << ")";
        break;
    case DirectoryState::Link:
        out << ": a symbolic link, which a run refuses to follow (" << wanted << ")";
        break;
    case DirectoryState::NotADirectory:
        out << ": not a directory";
        break;
    case DirectoryState::OtherOwnerOrMode:
        out << ": owner " << ids(directory.uid, directory.gid) << ", mode " << octal(directory.mode)
            << " (a run gives " << wanted << ")";
        break;
    }
    out << '\n';
}

const std::string kSiblingsLine = "siblings: not inspected (" + mail::kOutgoingUtility + ", " +
                                  mail::kDomainUtility + ", " + mail::kImapUtility + " and " +
                                  mail::kTransportUtility +
                                  " cannot be queried; --plan shows what a run would send them)";

int count(const std::vector<Finding>& findings, Severity severity) {
    return static_cast<int>(std::count_if(findings.begin(), findings.end(), [&](const Finding& f) {
        return f.severity == severity;
    }));
}

std::string findingsJson(const std::vector<Finding>& findings) {
    return "{\"critical\":" + std::to_string(count(findings, Severity::Critical)) +
           ",\"warning\":" + std::to_string(count(findings, Severity::Warning)) + '}';
}

} // namespace

CheckResult documentResult(const DomainModel& model, const std::string& text, bool withPlan,
                           mail::PlanParts parts) {
    CheckResult result;
    result.domain = model.domain.name;
    result.withPlan = withPlan;
    result.plan = mail::restorePlan(model.domain, model.subscription, parts);
    result.traps = documentTraps(model.domain);
    const std::vector<Trap> textTraps = documentTextTraps(text);
    result.traps.insert(result.traps.end(), textTraps.begin(), textTraps.end());
    return result;
}

std::string_view shortTable(std::string_view table) {
    const std::string_view path = table.substr(table.find(':') + 1);
    return path.substr(path.rfind('/') + 1);
}

std::vector<Finding> findingsOf(const CheckResult& result) {
    std::vector<Finding> findings = result.readiness;
    for (const Trap& trap : result.traps)
        findings.push_back({trap.severity, "trap", trap.field + ": " + visible(trap.what)});
    if (!result.inspection)
        return findings;
    for (const EntryCheck& entry : result.inspection->entries)
        if (category(entry.state()).drift)
            findings.push_back({severityOf(entry), "table",
                                std::string(category(entry.state()).name) + " " +
                                    std::string(shortTable(entry.table)) + " " + visible(entry.key)});
    const MailDirectoryCheck& directory = result.inspection->directory;
    if (category(directory.state()).drift)
        findings.push_back({severityOf(directory), "mail_directory",
                            "mail directory " + visible(directory.path) + " differs"});
    for (const KeysCheck& keys : result.inspection->keys)
        if (category(keys.state()).drift)
            findings.push_back(
                {Severity::Warning, "domain_keys",
                 "keys of " + keys.alias + " differ: " + visible(keys.problems.front())});
    return findings;
}

std::vector<Finding> findingsOf(const Refusal& refusal) {
    return {{Severity::Critical, "document",
             "the document is refused: " + visible(refusal.readerText)}};
}

std::string findingsSummary(const std::vector<Finding>& findings) {
    const int warnings = count(findings, Severity::Warning);
    return std::to_string(count(findings, Severity::Critical)) + " critical, " +
           std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings");
}

Refusal refusalOf(const std::string& readerText, const domain_info_trace& trace) {
    Refusal refusal{readerText, trace.path, {}};
    if (trace.missing != nullptr)
        refusal.missing =
            refusal.field.empty() ? trace.missing : refusal.field + "." + trace.missing;
    return refusal;
}

void writeText(std::ostream& out, const Refusal& refusal) {
    // The reader escapes what it quotes: its text stays as the tool prints it.
    out << "document: refused: " << refusal.readerText << '\n';
    out << "  field: " << (refusal.field.empty() ? "(the document itself)" : refusal.field) << '\n';
    if (!refusal.missing.empty())
        out << "  missing: " << refusal.missing << '\n';
    out << "findings: " << findingsSummary(findingsOf(refusal)) << '\n';
    out << "result: the document cannot be read (exit 2)\n";
}

void writeJson(std::ostream& out, const Refusal& refusal) {
    out << "{\"schema\":" << kJsonSchema
        << ",\"document\":{\"readable\":false,\"error\":" << json(refusal.readerText)
        << ",\"field\":" << json(refusal.field)
        << ",\"missing\":" << (refusal.missing.empty() ? "null" : json(refusal.missing))
        << ",\"severity\":\"critical\"},\"findings\":" << findingsJson(findingsOf(refusal))
        << ",\"status\":2}\n";
}

void writeJsonError(std::ostream& out, const std::string& text) {
    out << "{\"schema\":" << kJsonSchema << ",\"error\":" << json(text) << ",\"status\":2}\n";
}

void writeText(std::ostream& out, const CheckResult& result) {
    out << "domain: " << result.domain << '\n';
    out << "document: read, " << result.traps.size()
        << (result.traps.size() == 1 ? " trap\n" : " traps\n");
    for (const Trap& trap : result.traps) {
        char severity[16];
        std::snprintf(severity, sizeof severity, "%-10s", severityName(trap.severity));
        out << "  trap     " << severity << trap.field << ": " << visible(trap.what) << '\n';
        out << "                     send instead: " << trap.instead << '\n';
    }
    if (!result.readinessChecked) {
        out << "readiness: not checked in an audit (the check of this document alone says)\n";
    } else if (result.readiness.empty()) {
        out << "readiness: ok, nothing in the way of a run\n";
    } else {
        out << "readiness: " << result.readiness.size()
            << (result.readiness.size() == 1 ? " problem\n" : " problems\n");
        for (const Finding& finding : result.readiness) {
            char severity[16];
            std::snprintf(severity, sizeof severity, "%-10s", severityName(finding.severity));
            out << "  " << severity << finding.text << '\n';
        }
    }
    if (result.inspection) {
        const Inspection& inspection = *result.inspection;
        out << "tables:\n";
        for (const EntryCheck& entry : inspection.entries)
            writeEntryText(out, entry);
        for (const UnreadTable& unread : inspection.unreadTables)
            out << "  not inspected  " << shortTable(unread.table) << ": its lock stayed held by "
                << visible(unread.heldBy) << " for " << kSharedLockWaitMs / 1000 << " s\n";
        writeDirectoryText(out, inspection.directory);
        if (!inspection.keys.empty()) {
            out << "domain keys:\n";
            for (const KeysCheck& keys : inspection.keys)
                writeKeysText(out, keys);
        }
    } else {
        out << "server: cannot be inspected: " << visible(result.inspectionError) << '\n';
    }
    out << kSiblingsLine << '\n';
    if (result.withPlan) {
        out << "plan:\n";
        for (const mail::Step& step : result.plan)
            writePlanStepText(out, step);
    }
    out << "findings: " << findingsSummary(findingsOf(result)) << '\n';
    out << "result: "
        << (result.status == 0   ? "in sync, no trap"
            : result.status == 1 ? "differs, has a trap, or a run would fail"
                                 : "the server cannot be inspected")
        << " (exit " << result.status << ")\n";
}

void writeJson(std::ostream& out, const CheckResult& result) {
    out << "{\"schema\":" << kJsonSchema << ",\"domain\":" << json(result.domain)
        << ",\"document\":{\"readable\":true},\"readiness\":";
    if (result.readinessChecked)
        jsonArray(out, result.readiness, [&](const Finding& finding) {
            out << "{\"severity\":" << json(std::string(severityName(finding.severity)))
                << ",\"text\":" << json(finding.text) << '}';
        });
    else
        out << "null";
    out << ",\"traps\":";
    jsonArray(out, result.traps, [&](const Trap& trap) {
        out << "{\"field\":" << json(trap.field)
            << ",\"severity\":" << json(std::string(severityName(trap.severity)))
            << ",\"what\":" << json(trap.what) << ",\"instead\":" << json(trap.instead) << '}';
    });
    if (result.inspection) {
        const Inspection& inspection = *result.inspection;
        out << ",\"tables\":";
        jsonArray(out, inspection.entries, [&](const EntryCheck& entry) {
            const bool written = entry.want == EntryCheck::Want::Value;
            out << "{\"table\":" << json(std::string(entry.table)) << ",\"key\":" << json(entry.key)
                << ",\"want\":" << json(std::string(wantName(entry.want)))
                << ",\"state\":" << json(std::string(category(entry.state()).name))
                << ",\"severity\":" << jsonSeverity(category(entry.state()), severityOf(entry))
                << ",\"expected\":" << (written ? json(entry.expected) : "null")
                << ",\"actual\":" << json(entry.actual) << '}';
        });
        if (!inspection.unreadTables.empty()) {
            out << ",\"not_inspected\":";
            jsonArray(out, inspection.unreadTables, [&](const UnreadTable& unread) {
                out << "{\"table\":" << json(unread.table)
                    << ",\"held_by\":" << json(unread.heldBy) << '}';
            });
        }
        const MailDirectoryCheck& directory = inspection.directory;
        out << ",\"mail_directory\":{\"path\":" << json(directory.path)
            << ",\"ok\":" << json(!category(directory.state()).drift)
            << ",\"severity\":" << jsonSeverity(category(directory.state()), severityOf(directory))
            << ",\"link\":" << json(directory.isLink) << ",\"exists\":" << json(directory.exists)
            << ",\"directory\":" << json(directory.isDirectory)
            << ",\"owner\":" << json(ids(directory.uid, directory.gid))
            << ",\"mode\":" << json(octal(directory.mode))
            << ",\"expected_owner\":" << json(ids(directory.expectedUid, directory.expectedGid))
            << ",\"expected_mode\":" << json(octal(directory.expectedMode)) << '}';
        out << ",\"domain_keys\":";
        jsonArray(out, inspection.keys, [&](const KeysCheck& keys) {
            out << "{\"alias\":" << json(keys.alias)
                << ",\"severity\":" << jsonSeverity(category(keys.state()), Severity::Warning)
                << ",\"source\":" << json(keys.source) << ",\"target\":" << json(keys.target)
                << ",\"source_exists\":" << json(keys.sourceExists)
                << ",\"problems\":" << json(keys.problems) << '}';
        });
    } else {
        out << ",\"server_error\":" << json(result.inspectionError);
    }
    out << ",\"siblings\":\"not inspected\"";
    if (result.withPlan) {
        out << ",\"plan\":";
        writePlanJson(out, result.plan);
    }
    out << ",\"findings\":" << findingsJson(findingsOf(result)) << ",\"status\":" << result.status
        << "}\n";
}

} // namespace corvo::check
