// Administrative mail alias names: the panel setting, or the compiled-in list, split into
// lower-case words.
#include "config/AdminAliases.hpp"

#include <cstdlib>
#include <memory>

#include "config/ini_file.h"
#include "lib/base/ascii.h"

namespace corvo::mail {

namespace {

const char* const kPanelSettingsPath = "/opt/vca/admin/conf/panel.ini";
const char* const kDefaultAdminAliases = "anonymous drweb kluser mailer-daemon postmaster root";

} // namespace

std::vector<std::string> getAdminAliases() {
    std::unique_ptr<char, decltype(&std::free)> setting(
        ini_get_value(kPanelSettingsPath, "mail", "adminAliases"), &std::free);
    const char* text = setting ? setting.get() : kDefaultAdminAliases;

    std::vector<std::string> aliases;
    std::string word;
    for (const char* p = text;; ++p) {
        if (*p == '\0' || ascii_is_blank(*p)) {
            if (!word.empty()) {
                aliases.push_back(word);
                word.clear();
            }
            if (*p == '\0') {
                break;
            }
        } else {
            word.push_back(ascii_lower(*p));
        }
    }
    return aliases;
}

} // namespace corvo::mail
