// Each rule below mirrors what a run does and where it stops: the lock layer's checks of its
// directory, postmap's need of an existing table for a removal, the parents a run creates
// with mode 0700 for root, and the wiring that mail-restore(8) asks of main.cf.
#include "check/Readiness.hpp"

#include "check/Encoding.hpp"
#include "files/MailDirectory.hpp"
#include "files/file_lock.h"
#include "lib/base/file_type.h"
#include "lib/process/lib/ExecCmd.hpp"
#include "postfix/database/Postmap.hpp"
#include "postfix/database/Tables.hpp"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

namespace corvo::check {
namespace {

namespace database = mail::postfix::database;
namespace fs = std::filesystem;

const std::vector<std::string>& tables() {
    static const std::vector<std::string> all{database::kVirtualDomainsTable,
                                              database::kVirtualTable, database::kAliasesTable};
    return all;
}

std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string lockFilePath(const std::string& name) {
    const std::unique_ptr<char, decltype(&std::free)> path(lock_file_path(name.c_str()),
                                                           &std::free);
    return path.get();
}

void critical(Readiness& result, const std::string& text) {
    result.findings.push_back({Severity::Critical, "readiness", text});
}

// The lock layer's own rules for its directory, then each table's lock file.
void checkLocks(Readiness& result) {
    const std::string directory = fs::path(lockFilePath("")).parent_path().string();
    struct stat status {};
    std::string reason;
    if (::lstat(directory.c_str(), &status) != 0) {
        const int error = errno;
        reason = error == ENOENT ? "missing"
                                 : std::string("cannot be examined: ") + std::strerror(error);
    } else if (!S_ISDIR(status.st_mode)) {
        reason = std::string(file_type_name(status.st_mode)) + ", not a directory";
    } else if (status.st_uid != 0) {
        reason = "owned by uid " + std::to_string(status.st_uid) + ", not by root";
    } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        reason = "writable by its group or by others (mode " + octal(status.st_mode) + ")";
    }
    if (!reason.empty()) {
        result.lockDirectoryReason = "lock directory " + visible(directory) + ": " + reason;
        critical(result, result.lockDirectoryReason + ": a run cannot lock the tables");
        return;
    }
    for (const std::string& table : tables()) {
        const std::string path = lockFilePath(database::tablePath(table));
        if (::lstat(path.c_str(), &status) != 0)
            continue; // a run creates it
        if (S_ISREG(status.st_mode) && status.st_uid == 0 && status.st_nlink == 1)
            continue;
        result.lockFileRefused = true;
        critical(result, "lock file " + visible(path) + " of " + table + ": " +
                             file_type_name(status.st_mode) + ", owner uid " +
                             std::to_string(status.st_uid) + ", " +
                             std::to_string(status.st_nlink) +
                             " link(s), where a run needs a regular file of root's with one "
                             "link: a run cannot lock the table");
    }
}

// The table directory, and each table that a removal of the plan needs: postmap -d does not
// create a missing table, it fails.
void checkTables(Readiness& result, const std::vector<mail::Step>& plan) {
    const std::string directory =
        fs::path(database::tablePath(database::kVirtualTable)).parent_path().string();
    struct stat status {};
    const bool found = ::lstat(directory.c_str(), &status) == 0;
    const int error = errno;
    if (!found || !S_ISDIR(status.st_mode)) {
        const std::string what = found ? std::string(file_type_name(status.st_mode)) + ", not a directory"
                                 : error == ENOENT ? std::string("missing")
                                                   : std::string(std::strerror(error));
        critical(result, "table directory " + visible(directory) + ": " + what +
                             ": postmap can neither open nor create the tables");
        return;
    }
    std::set<std::string> reported;
    for (const mail::Step& step : plan) {
        const auto* changes = std::get_if<mail::TableStep>(&step);
        if (changes == nullptr)
            continue;
        for (const database::TableChange& change : changes->changes) {
            if (change.keys.empty() || reported.contains(change.table))
                continue;
            const std::string file = database::tablePath(change.table) + ".db";
            if (::lstat(file.c_str(), &status) == 0 || errno != ENOENT)
                continue;
            reported.insert(change.table);
            critical(result, "table " + change.table + ": missing (" + visible(file) +
                                 "): the run's removal from it fails (postmap -d cannot open "
                                 "the database)");
        }
    }
}

void checkPrograms(Readiness& result, const std::set<std::string>& programs) {
    for (const std::string& program : programs) {
        struct stat status {};
        // Programs are run through links, so a link is followed here.
        if (::stat(program.c_str(), &status) != 0) {
            const int error = errno;
            critical(result, "program " + visible(program) + ": " +
                                 (error == ENOENT ? std::string("missing") : std::strerror(error)) +
                                 ": the run cannot start it");
        } else if (!S_ISREG(status.st_mode) || (status.st_mode & 0111) == 0) {
            critical(result, "program " + visible(program) + ": not an executable file (" +
                                 file_type_name(status.st_mode) + ", mode " + octal(status.st_mode) +
                                 "): the run cannot start it");
        }
    }
}

// Whether the account may search the directory: owner, then group, then others, as the
// kernel decides.
bool searchable(const struct stat& status, uid_t uid, const std::vector<gid_t>& groups) {
    if (status.st_uid == uid)
        return (status.st_mode & S_IXUSR) != 0;
    if (std::find(groups.begin(), groups.end(), status.st_gid) != groups.end())
        return (status.st_mode & S_IXGRP) != 0;
    return (status.st_mode & S_IXOTH) != 0;
}

// Every parent of the mail directory, from the root down, as the mail account walks it; a
// missing one is created by the run with mode 0700 for root, which the account cannot pass.
void checkMailPath(Readiness& result, const DomainInfo& domain) {
    mail::MailSystemUser user{};
    try {
        user = mail::mailSystemUser();
    } catch (const std::exception&) {
        return; // the inspection reports the missing account
    }
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    if (::getgrouplist("popuser", user.gid, groups.data(), &count) < 0)
        count = 1, groups[0] = user.gid;
    groups.resize(static_cast<std::size_t>(count));

    const fs::path directory = mail::domainMailDirectory(domain.name);
    fs::path walked = "/";
    for (const fs::path& piece : directory.parent_path().relative_path()) {
        walked /= piece;
        struct stat status {};
        if (::stat(walked.c_str(), &status) != 0) {
            critical(result, "mail path " + visible(walked.string()) +
                                 ": missing: a run creates it with mode 0700 for root, and "
                                 "popuser cannot pass it to reach " +
                                 visible(directory.string()));
            return;
        }
        if (!searchable(status, user.uid, groups)) {
            critical(result, "mail path " + visible(walked.string()) + ": owner " +
                                 std::to_string(status.st_uid) + ":" +
                                 std::to_string(status.st_gid) + ", mode " + octal(status.st_mode) +
                                 ": popuser cannot pass it to reach " +
                                 visible(directory.string()));
            return;
        }
    }
}

// The wiring of main.cf that mail-restore(8) gives, read as the running Postfix reads it:
// one postconf prints the values, each on a line of its own, in the order asked.
void checkPostfix(Readiness& result) {
    const std::pair<const char*, std::string> wanted[] = {
        {"virtual_alias_domains", database::kVirtualDomainsTable},
        {"virtual_alias_maps", database::kVirtualTable},
        {"alias_maps", database::kAliasesTable},
        {"alias_database", database::kAliasesTable},
        {"mydestination", "localhost.localdomain"},
    };
    ExecCmd postconf("/usr/sbin/postconf");
    postconf.add("-h");
    std::string names;
    for (const auto& [name, item] : wanted) {
        postconf.add(name);
        names += std::string(" ") + name;
    }
    const bool ran = postconf.runNoThrow() == 0;
    std::vector<std::string> values;
    const std::string printed = postconf.stdoutText();
    for (std::size_t start = 0, end; (end = printed.find('\n', start)) != std::string::npos;
         start = end + 1)
        values.push_back(printed.substr(start, end - start));
    // An unknown name is only a warning to postconf, and its line is missing.
    if (!ran || values.size() != std::size(wanted)) {
        result.findings.push_back({Severity::Warning, "readiness",
                                   "postfix: postconf -h" + names + " failed (" +
                                       visible(postconf.stderrText()) +
                                       "): the configuration of the tables is not inspected"});
        return;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto& [name, item] = wanted[i];
        const std::string& value = values[i];
        std::vector<std::string> items;
        std::string current;
        for (const char character : value + ",") {
            if (character == ',' || character == ' ' || character == '\t') {
                if (!current.empty())
                    items.push_back(current);
                current.clear();
            } else {
                current += character;
            }
        }
        if (std::find(items.begin(), items.end(), item) == items.end())
            critical(result, std::string("postfix: ") + name + " does not name " + item +
                                 " (it is " + visible(value) +
                                 "): Postfix does not use what a run writes");
    }
}

} // namespace

Readiness readiness(const std::vector<mail::Step>& plan, const std::set<std::string>& programs,
                    const DomainInfo& domain) {
    Readiness result;
    checkLocks(result);
    checkTables(result, plan);
    checkPrograms(result, programs);
    checkMailPath(result, domain);
    checkPostfix(result);
    return result;
}

} // namespace corvo::check
