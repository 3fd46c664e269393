// Stand-in for the panel's sibling mail utilities (relayctl-outgoing, relayctl-domain,
// relayctl-imap, relayctl-transport) in tests.
//
// Every call appends one line to the call log ($SIBLING_LOG, default
// $SANDBOX_SCRATCH/sibling-calls): argv[0] and each argument in single quotes, with
// backslash escapes for quote, backslash, newline, tab and other control or non-ASCII
// bytes (\xHH), so that every byte of the argument vector is visible.
//
// With SIBLING_LOG_STDIN set, it then reads all of its standard input and logs each line
// (without its line feed) as "  < " and the line quoted the same way; this lets it stand in
// for postmap too, whose calls carry their records there.
//
// With SIBLING_LOG_SIGNALS set, it also logs "  ignored: SET, caller ignores: SET", the
// ignored signals of its own process and of the process that started it (SigIgn of
// /proc/PID/status), so that a scenario sees what a caller's ignored signals leave behind.
//
// What it then does is chosen per call by the rules file ($SIBLING_RULES, default
// $SANDBOX_SCRATCH/sibling-rules): lines "PATTERN<TAB>ACTION[<TAB>STDOUT[<TAB>STDERR]]";
// the first rule whose shell pattern (fnmatch) matches the call's log line applies.
// ACTION is an exit status or "kill:N" (die by signal N). STDOUT and STDERR are written
// with "\n" turned into a newline. Without a matching rule it exits 0 silently.
#include <fnmatch.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Quote, backslash, line feed and tab by name, other control and non-ASCII bytes as \xHH.
std::string quoted(const std::string& argument) {
    static const char named[] = "'\\\n\t", names[] = "'\\nt";
    std::string out = "'";
    for (const char character : argument) {
        const auto byte = static_cast<unsigned char>(character);
        char escaped[8] = {character, 0};
        if (const char* found = std::strchr(named, character); found && character)
            std::snprintf(escaped, sizeof escaped, "\\%c", names[found - named]);
        else if (byte < 0x20 || byte >= 0x7f)
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        out += escaped;
    }
    return out + "'";
}

std::string setting(const char* name, const char* fallback) {
    if (const char* value = std::getenv(name))
        return value;
    const char* scratch = std::getenv("SANDBOX_SCRATCH");
    return std::string(scratch ? scratch : "/tmp") + "/" + fallback;
}

// The SigIgn mask of a process, as /proc shows it.
std::string ignoredSignals(const std::string& process) {
    std::ifstream status("/proc/" + process + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigIgn:\t", 0) == 0)
            return line.substr(8);
    return "?";
}

std::string unescaped(std::string text) {
    for (std::size_t at = 0; (at = text.find("\\n", at)) != std::string::npos; ++at)
        text.replace(at, 2, "\n");
    return text;
}

} // namespace

int main(int argc, char** argv) {
    std::string call;
    for (int i = 0; i < argc; ++i)
        call += (i ? " " : "") + quoted(argv[i]);
    {
        std::ofstream log(setting("SIBLING_LOG", "sibling-calls"), std::ios::app);
        log << call << '\n';
        if (std::getenv("SIBLING_LOG_SIGNALS") != nullptr)
            log << "  ignored: " << ignoredSignals("self")
                << ", caller ignores: " << ignoredSignals(std::to_string(::getppid())) << '\n';
        if (std::getenv("SIBLING_LOG_STDIN") != nullptr) {
            for (std::string line; std::getline(std::cin, line);)
                log << "  < " << quoted(line) << '\n';
        }
    }
    std::ifstream rules(setting("SIBLING_RULES", "sibling-rules"));
    for (std::string rule; std::getline(rules, rule);) {
        std::vector<std::string> field;
        std::istringstream fields(rule);
        for (std::string text; std::getline(fields, text, '\t');)
            field.push_back(text);
        field.resize(4);
        if (rule.empty() || fnmatch(field[0].c_str(), call.c_str(), 0) != 0)
            continue;
        const std::string out = unescaped(field[2]);
        const std::string err = unescaped(field[3]);
        if (!out.empty())
            (void)!write(STDOUT_FILENO, out.data(), out.size());
        if (!err.empty())
            (void)!write(STDERR_FILENO, err.data(), err.size());
        const std::string& action = field[1];
        if (action.rfind("kill:", 0) == 0) {
            const int signal_number = std::atoi(action.c_str() + 5);
            ::signal(signal_number, SIG_DFL);
            ::raise(signal_number);
        }
        return std::atoi(action.c_str());
    }
    return 0;
}
