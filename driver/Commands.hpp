// Command lines of the panel's sibling mail utilities.
//
// Each builder returns the whole command: the program in the utilities directory and the
// argument vector exactly as the utility receives it, one element per argument, options and
// values joined by the '=' that ends the option for relayctl-outgoing, separate elements for
// the other utilities. No shell is involved, so nothing is quoted; no utility reads standard
// input. runUtility() runs such a command and raises the command failure on a non-zero exit
// status.
#pragma once

#include "driver/model/DomainInfo.hpp"
#include "lib/process/lib/Invocation.hpp"

#include <string>

namespace corvo::mail {

using process::Invocation;

// "/opt/vca" followed by "/admin/sbin/": compiled in, never configurable.
extern const std::string kUtilitiesDirectory;

// The sibling utilities, by their names in the utilities directory.
inline const std::string kOutgoingUtility = "relayctl-outgoing";
inline const std::string kDomainUtility = "relayctl-domain";
inline const std::string kImapUtility = "relayctl-imap";
inline const std::string kTransportUtility = "relayctl-transport";

Invocation subscriptionAddCommand(const SubscriptionInfo& subscription);
Invocation subscriptionLimitsCommand(const SubscriptionInfo& subscription);
Invocation systemUserCommand(const SubscriptionInfo& subscription, const std::string& user);
Invocation domainRemoveCommand(const DomainInfo& domain);
Invocation domainAddCommand(const DomainInfo& domain, const SubscriptionInfo& subscription);
Invocation domainLimitsCommand(const DomainInfo& domain);
Invocation vhostUnregisterCommand(const DomainInfo& domain);
Invocation vhostRegisterCommand(const DomainInfo& domain);
Invocation aliasRemoveCommand(const std::string& alias);
Invocation aliasAddCommand(const DomainInfo& domain, const std::string& alias);
// The certificate's installation by `installer`: kDomainUtility, then kImapUtility.
Invocation certificateCommand(const std::string& installer, const std::string& name,
                              const std::string& path);
Invocation senderTransportCommand(const DomainInfo& domain, const std::string& name);

// Runs the command once, with a fresh command object. With `ignoreFailure` every failure is
// swallowed; otherwise a non-zero exit status raises the command failure (and failures to
// run pass through).
void runUtility(const Invocation& command, bool ignoreFailure = false);

} // namespace corvo::mail
