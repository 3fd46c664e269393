// Switching a forked child to another user's account.
#include "lib/process/lib/user_switch.h"

#include "diagnostics/log.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace fork_exec {

void p_setuid(const char* user, int flags) {
    const passwd* entry = ::getpwnam(user);
    if (entry == nullptr)
        message_exit(1, "User '%s' not found", user);
    // getpwnam's record may be overwritten by initgroups; keep what is needed.
    const uid_t userId = entry->pw_uid;
    const gid_t groupId = entry->pw_gid;
    const std::string home = entry->pw_dir != nullptr ? entry->pw_dir : "";

    if ((flags & P_SETUID_CHDIR) != 0 && ::chdir(home.c_str()) != 0)
        message_exit(1, "Cannot chdir to '%s' homedir '%s'", user, home.c_str());
    if ((flags & P_SETUID_CHROOT) != 0 && ::chroot(home.c_str()) != 0)
        message_exit(1, "Cannot chroot to '%s' homedir '%s'", user, home.c_str());
    // The newline inside some formats is part of the tool's output and must stay.
    if ((flags & P_SETUID_ALLOW_ROOT) == 0 && userId == 0)
        message_exit(1, "Cannot run as forbidden uid: %d\n", static_cast<int>(userId));
    if (::initgroups(user, groupId) != 0)
        message_exit(1, "Unable to init new groups for user '%s': %s", user, std::strerror(errno));
    if (::setgid(groupId) != 0)
        message_exit(1, "Failed to setgid: %d\n", static_cast<int>(groupId));
    if (::setuid(userId) != 0)
        message_exit(1, "Failed to setuid: %d\n", static_cast<int>(userId));
}

void switchToUser(const char* user, bool changeToHome) {
    uid_t id = 0;
    if (const passwd* entry = ::getpwnam(user))
        id = entry->pw_uid;
    else // the report is part of the output; the child goes on unswitched
        message_warning("Unable to getpwnam for user %s", user);
    if (id != 0)
        p_setuid(user, changeToHome ? P_SETUID_CHDIR : 0);
}

} // namespace fork_exec
