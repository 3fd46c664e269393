// Text and JSON renderings of the check's findings and of the restore plan.
#include "check/Report.hpp"

#include "check/Encoding.hpp"
#include "driver/DomainKeys.hpp"
#include "files/FileLock.hpp"
#include "files/MailDirectory.hpp"
#include "postfix/database/Postmap.hpp"

#include <cstdio>
#include <filesystem>

namespace corvo::check {
namespace {

namespace database = mail::postfix::database;
using State = EntryCheck::State;

std::string shortTable(const std::string& table) {
    return std::filesystem::path(database::tablePath(table)).filename().string();
}

std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

std::string ids(uid_t uid, gid_t gid) {
    return std::to_string(uid) + ":" + std::to_string(gid);
}

// The two blanks and the name of a state, padded to the column where findings start.
std::string label(const Category& category) {
    char text[16];
    std::snprintf(text, sizeof text, "  %-9s", category.name);
    return text;
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

std::string commandLine(const process::Invocation& command) {
    std::string line;
    for (const std::string& argument : argv(command))
        line += (line.empty() ? "" : " ") + quotedArgument(argument);
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
    for (const process::Invocation& command : mail::commandsOf(step)) {
        out << "  " << commandLine(command) << '\n';
        for (const std::string& line : inputLines(command.input))
            out << "    < " << quotedArgument(line) << '\n';
    }
    if (const auto* utility = std::get_if<mail::UtilityStep>(&step)) {
        if (utility->otherwise)
            out << "    | when it fails: " << commandLine(*utility->otherwise) << '\n';
        if (utility->failureIgnored)
            out << "    | a failure is ignored\n";
    }
}

void writeEntryText(std::ostream& out, const EntryCheck& entry) {
    const State state = entry.state();
    if (entry.want == EntryCheck::Want::Untouched && state == State::Ok)
        return; // nothing there, nothing to say
    out << label(category(state)) << shortTable(entry.table) << "  " << visible(entry.key);
    const std::string holds = entry.actual ? " (holds " + visible(*entry.actual) + ")" : "";
    const std::string writes = " -> " + visible(entry.expected);
    switch (state) {
    case State::Ok:
        out << (entry.want == EntryCheck::Want::Value ? writes : ": no entry");
        break;
    case State::Missing:
        out << writes;
        break;
    case State::Other:
        out << writes << holds;
        break;
    case State::Present:
        out << holds << ": a run removes it";
        break;
    case State::LeftBehind:
        out << holds << ": no longer applies, and a run leaves it";
        break;
    }
    out << '\n';
}

void writeKeysText(std::ostream& out, const KeysCheck& keys) {
    const KeysCheck::State state = keys.state();
    out << label(category(state)) << keys.alias << ": ";
    switch (state) {
    case KeysCheck::State::NoKeys:
        out << "the domain has no keys (" << keys.source << "), nothing to copy\n";
        return;
    case KeysCheck::State::Ok:
    case KeysCheck::State::Differs:
        break;
    }
    out << keys.target << " against " << keys.source << '\n';
    for (const std::string& problem : keys.problems)
        out << "           " << problem << '\n';
}

void writeDirectoryText(std::ostream& out, const MailDirectoryCheck& directory) {
    using DirectoryState = MailDirectoryCheck::State;
    const DirectoryState state = directory.state();
    out << "mail directory: " << category(state).name << "  " << directory.path;
    const std::string wanted = "owner " + ids(directory.expectedUid, directory.expectedGid) +
                               ", mode " + octal(directory.expectedMode);
    switch (state) {
    case DirectoryState::Ok:
        out << " (" << wanted << ")";
        break;
    case DirectoryState::Missing:
        out << ": missing (a run creates it, " << wanted << ")";
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

} // namespace

Refusal refusalOf(const std::string& readerText, const domain_info_trace& trace) {
    Refusal refusal{readerText, trace.path, {}};
    if (trace.missing != nullptr)
        refusal.missing =
            refusal.field.empty() ? trace.missing : refusal.field + "." + trace.missing;
    return refusal;
}

void writeText(std::ostream& out, const Refusal& refusal) {
    out << "document: refused: " << refusal.readerText << '\n';
    out << "  field: " << (refusal.field.empty() ? "(the document itself)" : refusal.field) << '\n';
    if (!refusal.missing.empty())
        out << "  missing: " << refusal.missing << '\n';
    out << "result: the document cannot be read (exit 2)\n";
}

void writeJson(std::ostream& out, const Refusal& refusal) {
    out << "{\"document\":{\"readable\":false,\"error\":" << json(refusal.readerText)
        << ",\"field\":" << json(refusal.field)
        << ",\"missing\":" << (refusal.missing.empty() ? "null" : json(refusal.missing))
        << "},\"status\":2}\n";
}

void writeText(std::ostream& out, const CheckResult& result) {
    out << "domain: " << result.domain << '\n';
    out << "document: read, " << result.traps.size()
        << (result.traps.size() == 1 ? " trap\n" : " traps\n");
    for (const Trap& trap : result.traps) {
        out << "  trap     " << trap.field << ": " << visible(trap.what) << '\n';
        out << "           send instead: " << trap.instead << '\n';
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
        out << "server: cannot be inspected: " << result.inspectionError << '\n';
    }
    out << kSiblingsLine << '\n';
    if (result.withPlan) {
        out << "plan:\n";
        for (const mail::Step& step : result.plan)
            writePlanStepText(out, step);
    }
    out << "result: "
        << (result.status == 0   ? "in sync, no trap"
            : result.status == 1 ? "differs or has a trap"
                                 : "the server cannot be inspected")
        << " (exit " << result.status << ")\n";
}

void writeJson(std::ostream& out, const CheckResult& result) {
    out << "{\"domain\":" << json(result.domain) << ",\"document\":{\"readable\":true},\"traps\":";
    jsonArray(out, result.traps, [&](const Trap& trap) {
        out << "{\"field\":" << json(trap.field) << ",\"what\":" << json(trap.what)
            << ",\"instead\":" << json(trap.instead) << '}';
    });
    if (result.inspection) {
        const Inspection& inspection = *result.inspection;
        out << ",\"tables\":";
        jsonArray(out, inspection.entries, [&](const EntryCheck& entry) {
            const bool written = entry.want == EntryCheck::Want::Value;
            out << "{\"table\":" << json(entry.table) << ",\"key\":" << json(entry.key)
                << ",\"want\":" << json(std::string(wantName(entry.want)))
                << ",\"state\":" << json(std::string(category(entry.state()).name))
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
            << ",\"exists\":" << json(directory.exists)
            << ",\"directory\":" << json(directory.isDirectory)
            << ",\"owner\":" << json(ids(directory.uid, directory.gid))
            << ",\"mode\":" << json(octal(directory.mode))
            << ",\"expected_owner\":" << json(ids(directory.expectedUid, directory.expectedGid))
            << ",\"expected_mode\":" << json(octal(directory.expectedMode)) << '}';
        out << ",\"domain_keys\":";
        jsonArray(out, inspection.keys, [&](const KeysCheck& keys) {
            out << "{\"alias\":" << json(keys.alias) << ",\"source\":" << json(keys.source)
                << ",\"target\":" << json(keys.target)
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
    out << ",\"status\":" << result.status << "}\n";
}

} // namespace corvo::check
