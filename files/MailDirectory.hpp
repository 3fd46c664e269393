// The mail system account and the domain mail directories.
//
// Every domain's mail directory lies under the mail names root (CORVO_MAILNAMES_D of the
// server configuration, "/var/qmail/mailnames" by default), is named after the domain in
// lower case, belongs to the account "popuser" and has mode 0750.
//
// DIAGNOSTICS: everything is raised. mailSystemUser raises corvo::SystemError when the
// account does not exist; prepareDomainMailDirectory raises
// std::filesystem::filesystem_error when the directory cannot be created and
// corvo::mail::FSError when its owner or mode cannot be set.
#pragma once

#include <sys/types.h>

#include <string>

namespace corvo::mail {

struct MailSystemUser {
    uid_t uid;
    gid_t gid;
};

inline constexpr mode_t kDomainMailDirectoryMode = 0750;

// The process-wide record of the ids of "popuser", looked up again on every call.
MailSystemUser& mailSystemUser();

// The domain's mail directory: the mail names root, '/', the domain in lower case (ASCII).
// The root is read from the server configuration once for the process, by the first call.
std::string domainMailDirectory(const std::string& domain);

// Creates the domain's mail directory when missing (missing parents get mode 0700 and the
// process's owner), then gives the directory itself the user's ids and mode 0750, also
// when it existed before; its contents are not touched.
void prepareDomainMailDirectory(const MailSystemUser& user, const std::string& domain);

} // namespace corvo::mail
