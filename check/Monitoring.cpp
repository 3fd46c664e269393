// The plugin line and the textfile. Their names, labels and states are an interface of their
// own: the metric names and the two labels are documented and never carry a table entry.
#include "check/Monitoring.hpp"

#include "check/Encoding.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace corvo::check {
namespace {

const char* const kStates[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

int count(const std::vector<Finding>& findings, Severity severity, const char* kind = nullptr) {
    return static_cast<int>(std::count_if(findings.begin(), findings.end(), [&](const Finding& f) {
        return f.severity == severity && (kind == nullptr || f.kind == kind);
    }));
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

void metric(std::string& out, const char* name, const char* help, const std::string& samples) {
    out += std::string("# HELP ") + name + ' ' + help + "\n# TYPE " + name + " gauge\n" + samples;
}

} // namespace

int nagiosStatus(const Observation& seen) {
    if (count(seen.findings, Severity::Critical) > 0)
        return 2;
    if (!seen.inspected)
        return 3;
    return count(seen.findings, Severity::Warning) > 0 ? 1 : 0;
}

int writeNagios(std::ostream& out, const Observation& seen) {
    const int status = nagiosStatus(seen);
    const int critical = count(seen.findings, Severity::Critical);
    const int warning = count(seen.findings, Severity::Warning);
    out << "MAIL-RESTORE " << kStates[status] << " - "
        << (seen.documentRead ? visible(seen.domain) : std::string("the document")) << ": ";
    if (!seen.documentRead)
        out << "refused";
    else if (status == 3)
        out << "the server cannot be inspected";
    else
        out << critical << " critical, " << warning << (warning == 1 ? " warning" : " warnings")
            << (seen.inspected ? "" : ", the server not inspected");
    out << " | critical=" << critical << ";;;0 warning=" << warning
        << ";;;0 domains=" << (seen.documentRead ? 1 : 0)
        << ";;;0 duration=" << seconds(seen.durationSeconds) << "s;;;0\n";
    for (const Finding& finding : seen.findings)
        out << severityName(finding.severity) << ' ' << finding.kind << ": " << finding.text
            << '\n';
    if (seen.documentRead && !seen.inspected)
        out << "unknown server: cannot be inspected: " << visible(seen.inspectionError) << '\n';
    return status;
}

void writeNagiosUnknown(std::ostream& out, const std::string& text) {
    out << "MAIL-RESTORE UNKNOWN - " << visible(text) << '\n';
}

std::string metricsText(const Observation& seen) {
    std::string findings;
    for (const Severity severity : {Severity::Critical, Severity::Warning})
        for (const char* kind : kKinds)
            findings += std::string("mail_restore_check_findings{severity=\"") +
                        severityName(severity) + "\",kind=\"" + kind + "\"} " +
                        std::to_string(count(seen.findings, severity, kind)) + '\n';
    std::string out;
    metric(out, "mail_restore_check_findings", "Findings of the last check, by severity and kind.",
           findings);
    metric(out, "mail_restore_check_domains", "Domains the last check read and looked at.",
           std::string("mail_restore_check_domains ") + (seen.documentRead ? "1" : "0") + '\n');
    metric(out, "mail_restore_check_server_inspected",
           "1 when the last check could read the server's tables, 0 when not.",
           std::string("mail_restore_check_server_inspected ") + (seen.inspected ? "1" : "0") +
               '\n');
    metric(out, "mail_restore_check_last_run_timestamp_seconds",
           "When the last check started, in seconds since the epoch.",
           "mail_restore_check_last_run_timestamp_seconds " + seconds(seen.startSeconds) + '\n');
    metric(out, "mail_restore_check_duration_seconds", "How long the last check took.",
           "mail_restore_check_duration_seconds " + seconds(seen.durationSeconds) + '\n');
    return out;
}

std::string writeMetrics(const std::string& path, const Observation& seen) {
    namespace fs = std::filesystem;
    const fs::path target = path;
    const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
    // A dot name without the .prom ending, which the collector does not read.
    std::string temporary = (directory / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return "cannot create a temporary file in " + directory.string() + ": " +
               std::strerror(errno);
    const std::string text = metricsText(seen);
    std::size_t written = 0;
    int error = 0;
    while (written < text.size() && error == 0) {
        const ssize_t done = ::write(fd, text.data() + written, text.size() - written);
        if (done < 0 && errno != EINTR)
            error = errno;
        else if (done > 0)
            written += static_cast<std::size_t>(done);
    }
    if (error == 0 && (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0))
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return "cannot write " + path + ": " + std::strerror(error);
    }
    return {};
}

} // namespace corvo::check
