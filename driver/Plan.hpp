// What a restore does, as data: the restore sequence as a list of steps, each one postmap
// call, one sibling command line, the mail directory's preparation or one alias's keys
// copy. The restore performs the list in order; the check shows it and compares the server
// with it. Building the list reads the panel settings (administrative alias names) and
// changes nothing.
//
// Order: mail directory and mail switch; policy for the domain; subscription (add, or
// limits when the add fails); system users (failures ignored); domain (remove and add, or
// limits for the main domain); virtual host id (unregister and register); per alias:
// policy, domain keys, remove and add; certificates (relayctl-domain, then relayctl-imap,
// in name order); sender transports (the domain, then each alias). A domain whose mail is
// off gets the reject policy everywhere.
//
// DIAGNOSTICS: restorePlan raises corvo::CorvoUtilException when the session mail data
// cannot be obtained. performStep raises whatever the step's own operation raises (see
// MailSwitch.hpp, Postmap.hpp, Commands.hpp, DomainKeys.hpp).
#pragma once

#include "driver/Commands.hpp"
#include "driver/model/DomainInfo.hpp"
#include "postfix/database/Postmap.hpp"

#include <optional>
#include <string>
#include <vector>

namespace corvo::mail {

struct Step {
    enum class Kind { MailDirectory, Table, Utility, DomainKeys };
    Kind kind;
    std::string name;                      // MailDirectory: the domain; DomainKeys: the alias
    postfix::database::TableChange change; // Table
    std::string utility;                   // Utility: program in the utilities directory
    Arguments arguments;                   // Utility
    bool ignoreFailure = false;            // Utility: a failure does not end the run
    std::optional<Arguments> otherwise;    // Utility: run instead when this command fails
};

// The non-existent mail policy a run applies: the document's, or reject when mail is off.
NonExistentMailType effectivePolicy(const DomainInfo& domain);

std::vector<Step> restorePlan(const DomainInfo& domain, const SubscriptionInfo& subscription);

void performStep(const DomainInfo& domain, const Step& step);

} // namespace corvo::mail
