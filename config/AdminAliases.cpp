// Administrative mail alias names: the panel setting, or the compiled-in list, split into
// lower-case words.
#include "config/AdminAliases.hpp"

#include <cstdlib>
#include <memory>

#include "config/ini_file.h"

namespace corvo::mail {

namespace {

const char* const panelSettingsPath = "/opt/vca/admin/conf/panel.ini";
const char* const defaultAdminAliases = "anonymous drweb kluser mailer-daemon postmaster root";

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

std::vector<std::string> getAdminAliases() {
    std::unique_ptr<char, decltype(&std::free)> setting(
        ini_get_value(panelSettingsPath, "mail", "adminAliases"), &std::free);
    const char* text = setting ? setting.get() : defaultAdminAliases;

    std::vector<std::string> aliases;
    std::string word;
    for (const char* p = text;; ++p) {
        if (*p == '\0' || isBlank(*p)) {
            if (!word.empty()) {
                aliases.push_back(word);
                word.clear();
            }
            if (*p == '\0') {
                break;
            }
        } else {
            word.push_back(*p >= 'A' && *p <= 'Z' ? static_cast<char>(*p - 'A' + 'a') : *p);
        }
    }
    return aliases;
}

} // namespace corvo::mail
