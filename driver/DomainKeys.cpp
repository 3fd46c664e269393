// Copies the domain's DomainKeys entry to an alias and sets its ownership and modes.
#include "driver/DomainKeys.hpp"

#include "diagnostics/log.h"
#include "files/tree_modes.h"
#include "lib/base/ascii.h"

#include <pwd.h>
#include <sys/types.h>

#include <filesystem>

namespace corvo::mail {
namespace {

const std::filesystem::path kKeysDirectory = "/etc/domainkeys";
const char* const kKeysGroupAccount = "popuser";

} // namespace

std::filesystem::path domainKeysEntry(const std::string& name) {
    return kKeysDirectory / ascii_lower_cased(name);
}

// Group 0 when there is no such account: the keys stay readable by root alone, and the copy
// goes on.
gid_t keysGroup() {
    const passwd* account = ::getpwnam(kKeysGroupAccount);
    if (!account) {
        message_warning("Unable to getpwnam for user %s", kKeysGroupAccount);
        return 0;
    }
    return account->pw_gid;
}

void copyDomainKeysToAlias(const DomainInfo& domain, const std::string& alias) {
    namespace fs = std::filesystem;
    const fs::path source = domainKeysEntry(domain.name);
    if (!fs::exists(fs::status(source)))
        return;
    const fs::path target = domainKeysEntry(alias);
    fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    set_tree_owner_and_modes(target.c_str(), 0, keysGroup(), kKeyFileMode, kKeyDirectoryMode, 0);
}

} // namespace corvo::mail
