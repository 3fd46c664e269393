// The mail system account and the domain mail directories.
#include "files/MailDirectory.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "config/vca_conf.h"
#include "diagnostics/Errors.hpp"
#include "lib/base/Descriptor.hpp"
#include "lib/base/ascii.h"
#include "lib/base/eintr.h"

namespace corvo::mail {

namespace {

const char* const kMailSystemAccount = "popuser";

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
    const passwd* entry = getpwnam(kMailSystemAccount);
    if (entry == nullptr) {
        throw SystemError("user popuser not found", errno);
    }
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    return user;
}

std::string domainMailDirectory(const std::string& domain) {
    // Read from the configuration once for the process, on whichever thread asks first.
    static const std::string root = [] {
        std::string path = vca_conf_get_default(VCA_CONF_CORVO_MAILNAMES_D);
        if (path.empty() || path.back() != '/') {
            path += '/';
        }
        return path;
    }();
    return root + ascii_lower_cased(domain);
}

void prepareDomainMailDirectory(const MailSystemUser& user, const std::string& domain) {
    const std::string path = domainMailDirectory(domain);
    // Parents created here are readable by the process's owner only.
    UmaskScope mask(077);
    std::filesystem::create_directories(path);

    // The directory belongs to the mail account, whose processes may replace it by a link:
    // owner and mode are changed through a descriptor of the directory itself, opened
    // without following links (a link fails as a chown error with ELOOP).
    const Descriptor directory(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory.isOpen()) {
        struct stat entry;
        const bool link =
            errno == ENOTDIR && lstat(path.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode);
        throw FSError("chown", path, link ? ELOOP : errno);
    }
    const auto change = [&](const char* operation, auto&& call) {
        if (retry_eintr(call) != 0)
            throw FSError(operation, path, errno);
    };
    change("chown", [&] { return fchown(directory.get(), user.uid, user.gid); });
    change("chmod", [&] { return fchmod(directory.get(), kDomainMailDirectoryMode); });
}

} // namespace corvo::mail
