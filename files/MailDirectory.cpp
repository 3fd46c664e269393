// The mail system account and the domain mail directories.
#include "files/MailDirectory.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "config/vca_conf.h"
#include "diagnostics/Errors.hpp"

namespace corvo::mail {

namespace {

const char* const mailSystemAccount = "popuser";

// Sets the file creation mask for a scope and restores the previous one on every exit.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : previous_(umask(mask)) {}
    ~UmaskScope() { umask(previous_); }
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;

private:
    mode_t previous_;
};

} // namespace

MailSystemUser& mailSystemUser() {
    static MailSystemUser user{};
    const passwd* entry = getpwnam(mailSystemAccount);
    if (entry == nullptr) {
        throw SystemError("user popuser not found", errno);
    }
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    return user;
}

std::string domainMailDirectory(const std::string& domain) {
    std::string path = vca_conf_get_default(VCA_CONF_CORVO_MAILNAMES_D);
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    for (char c : domain) {
        path += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return path;
}

void prepareDomainMailDirectory(const MailSystemUser& user, const std::string& domain) {
    const std::string path = domainMailDirectory(domain);
    // Parents created here are readable by the process's owner only.
    UmaskScope mask(077);
    std::filesystem::create_directories(path);

    int status;
    do {
        status = chown(path.c_str(), user.uid, user.gid);
    } while (status != 0 && errno == EINTR);
    if (status != 0) {
        throw FSError("chown", path, errno);
    }
    do {
        status = chmod(path.c_str(), kDomainMailDirectoryMode);
    } while (status != 0 && errno == EINTR);
    if (status != 0) {
        throw FSError("chmod", path, errno);
    }
}

} // namespace corvo::mail
