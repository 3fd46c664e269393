// Shared pieces of the table tests: they change the tool's fixed paths and therefore run
// only inside tests/sandbox (SANDBOX_SCRATCH set); elsewhere they are skipped.
#pragma once

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#define REQUIRE_SANDBOX()                                                                          \
    do {                                                                                           \
        if (std::getenv("SANDBOX_SCRATCH") == nullptr)                                             \
            GTEST_SKIP() << "needs tests/sandbox";                                                 \
    } while (0)

namespace postfix_test {

inline const std::string tablesDirectory = "/var/spool/postfix/corvo";

// Every entry of the table as "key<TAB>value", sorted; empty when it cannot be read.
inline std::vector<std::string> readTable(const std::string& table) {
    std::vector<std::string> lines;
    FILE* output = popen(("/usr/sbin/postmap -s " + table + " 2>/dev/null").c_str(), "r");
    if (output == nullptr)
        return lines;
    std::string text;
    char buffer[4096];
    for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, output)) > 0;)
        text.append(buffer, got);
    pclose(output);
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

inline void removeTables() {
    for (const auto& entry : std::filesystem::directory_iterator(tablesDirectory))
        std::filesystem::remove_all(entry.path());
}

inline std::string logPath() {
    return std::string(std::getenv("SANDBOX_SCRATCH")) + "/postmap.log";
}

inline std::string readLog() {
    std::ifstream file(logPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Puts the stand-in over /usr/sbin/postmap with the given variables (the log always on,
// starting empty) for the object's life.
class StandIn {
public:
    explicit StandIn(std::initializer_list<std::pair<std::string, std::string>> variables = {})
        : variables_(variables) {
        variables_.emplace_back("POSTMAP_STAND_IN_LOG", logPath());
        std::filesystem::remove(logPath());
        for (const auto& [name, value] : variables_)
            setenv(name.c_str(), value.c_str(), 1);
        mounted_ = mount(CORVO_HELPERS_DIR "/postmap_stand_in", "/usr/sbin/postmap", nullptr,
                         MS_BIND, nullptr) == 0;
        EXPECT_TRUE(mounted_) << "bind mount of the stand-in";
    }
    ~StandIn() {
        if (mounted_)
            umount2("/usr/sbin/postmap", 0);
        for (const auto& variable : variables_)
            unsetenv(variable.first.c_str());
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

private:
    std::vector<std::pair<std::string, std::string>> variables_;
    bool mounted_ = false;
};

} // namespace postfix_test
