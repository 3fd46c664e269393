// The restore sequence.
//
// Order: mail switch; policy for the domain; subscription (add, or limits when the add
// fails); system users (failures ignored); domain (remove and add, or limits for the main
// domain); virtual host id (unregister and register); per alias: policy, domain keys,
// remove and add; certificates; sender transports. A domain whose mail is off gets the
// reject policy everywhere.
#include "driver/Restore.hpp"

#include "driver/Commands.hpp"
#include "driver/DomainKeys.hpp"
#include "postfix/MailSwitch.hpp"
#include "postfix/NonExistentMail.hpp"

#include <exception>

namespace corvo {

using mail::runUtility;

std::uint32_t restoreDomain(const DomainInfo& domain, const SubscriptionInfo& subscription) {
    const NonExistentMailType policy =
        domain.enabled ? domain.non_existent_type : NonExistentMailType::Reject;

    mail::postfix::setDomainMailEnabled(domain, domain.enabled);
    mail::postfix::applyNonExistentMailPolicy(domain.name, policy, domain.non_existent_arg);

    try {
        runUtility("relayctl-outgoing", mail::subscriptionAddArguments(subscription));
    } catch (const std::exception&) {
        // The subscription exists already: bring its limits up to date instead.
        runUtility("relayctl-outgoing", mail::subscriptionLimitsArguments(subscription));
    }

    for (const std::string& user : subscription.sysusers)
        runUtility("relayctl-outgoing", mail::systemUserArguments(subscription, user), true);

    if (domain.is_main) {
        runUtility("relayctl-outgoing", mail::domainLimitsArguments(domain));
    } else {
        runUtility("relayctl-outgoing", mail::domainRemoveArguments(domain));
        runUtility("relayctl-outgoing", mail::domainAddArguments(domain, subscription));
    }

    runUtility("relayctl-outgoing", mail::vhostUnregisterArguments(domain));
    runUtility("relayctl-outgoing", mail::vhostRegisterArguments(domain));

    for (const std::string& alias : domain.aliases) {
        mail::postfix::applyNonExistentMailPolicy(alias, policy, domain.non_existent_arg);
        mail::copyDomainKeysToAlias(domain, alias);
        runUtility("relayctl-outgoing", mail::aliasRemoveArguments(alias));
        runUtility("relayctl-outgoing", mail::aliasAddArguments(domain, alias));
    }

    mail::installCertificates(domain);
    mail::registerSenderTransports(domain);
    return 0;
}

} // namespace corvo
