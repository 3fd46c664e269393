// Command lines of the panel's sibling mail utilities.
//
// Each builder returns the argument vector after the program path, exactly as the
// utility receives it: one element per argument, options and values joined by the '='
// that ends the option for relayctl-outgoing, separate elements for the other utilities.
// No shell is involved, so nothing is quoted. runUtility() starts the program from the
// utilities directory and raises the command failure on a non-zero exit status.
#pragma once

#include "driver/model/DomainInfo.hpp"

#include <string>
#include <vector>

namespace corvo::mail {

using Arguments = std::vector<std::string>;

// "/opt/vca" followed by "/admin/sbin/": compiled in, never configurable.
extern const std::string kUtilitiesDirectory;

Arguments subscriptionAddArguments(const SubscriptionInfo& subscription);
Arguments subscriptionLimitsArguments(const SubscriptionInfo& subscription);
Arguments systemUserArguments(const SubscriptionInfo& subscription, const std::string& user);
Arguments domainRemoveArguments(const DomainInfo& domain);
Arguments domainAddArguments(const DomainInfo& domain, const SubscriptionInfo& subscription);
Arguments domainLimitsArguments(const DomainInfo& domain);
Arguments vhostUnregisterArguments(const DomainInfo& domain);
Arguments vhostRegisterArguments(const DomainInfo& domain);
Arguments aliasRemoveArguments(const std::string& alias);
Arguments aliasAddArguments(const DomainInfo& domain, const std::string& alias);
Arguments certificateArguments(const std::string& name, const std::string& path);
Arguments senderTransportArguments(const DomainInfo& domain, const std::string& name);

// Runs kUtilitiesDirectory + utility with the arguments, once, with a fresh command
// object. With `ignoreFailure` every failure is swallowed; otherwise a non-zero exit status
// raises the command failure (and failures to run pass through).
void runUtility(const std::string& utility, const Arguments& arguments, bool ignoreFailure = false);

} // namespace corvo::mail
