// The restore sequence as a list of steps, and the one place where a step is carried out.
#include "driver/Plan.hpp"

#include "driver/DomainKeys.hpp"
#include "files/MailDirectory.hpp"
#include "postfix/MailSwitch.hpp"
#include "postfix/NonExistentMail.hpp"

#include <exception>

namespace corvo::mail {
namespace {

class PlanBuilder {
public:
    void tables(const std::vector<postfix::database::TableChange>& changes) {
        for (const auto& change : changes)
            steps.push_back({Step::Kind::Table, {}, change, {}, {}, false, {}});
    }
    void utility(const std::string& program, Arguments arguments, bool ignoreFailure = false,
                 std::optional<Arguments> otherwise = std::nullopt) {
        steps.push_back({Step::Kind::Utility,
                         {},
                         {},
                         program,
                         std::move(arguments),
                         ignoreFailure,
                         std::move(otherwise)});
    }
    void named(Step::Kind kind, const std::string& name) {
        steps.push_back({kind, name, {}, {}, {}, false, {}});
    }

    std::vector<Step> steps;
};

} // namespace

NonExistentMailType effectivePolicy(const DomainInfo& domain) {
    return domain.enabled ? domain.non_existent_type : NonExistentMailType::Reject;
}

std::vector<Step> restorePlan(const DomainInfo& domain, const SubscriptionInfo& subscription) {
    using postfix::nonExistentMailChanges;
    const NonExistentMailType policy = effectivePolicy(domain);
    PlanBuilder plan;

    plan.named(Step::Kind::MailDirectory, domain.name);
    plan.tables(postfix::domainMailChanges(domain.name, domain.enabled));
    plan.tables(nonExistentMailChanges(domain.name, policy, domain.non_existent_arg));

    // A subscription that exists already gets its limits brought up to date instead.
    plan.utility("relayctl-outgoing", subscriptionAddArguments(subscription), false,
                 subscriptionLimitsArguments(subscription));
    for (const std::string& user : subscription.sysusers)
        plan.utility("relayctl-outgoing", systemUserArguments(subscription, user), true);
    if (domain.is_main) {
        plan.utility("relayctl-outgoing", domainLimitsArguments(domain));
    } else {
        plan.utility("relayctl-outgoing", domainRemoveArguments(domain));
        plan.utility("relayctl-outgoing", domainAddArguments(domain, subscription));
    }
    plan.utility("relayctl-outgoing", vhostUnregisterArguments(domain));
    plan.utility("relayctl-outgoing", vhostRegisterArguments(domain));

    for (const std::string& alias : domain.aliases) {
        plan.tables(nonExistentMailChanges(alias, policy, domain.non_existent_arg));
        plan.named(Step::Kind::DomainKeys, alias);
        plan.utility("relayctl-outgoing", aliasRemoveArguments(alias));
        plan.utility("relayctl-outgoing", aliasAddArguments(domain, alias));
    }

    for (const auto& [name, path] : domain.certificates) {
        plan.utility("relayctl-domain", certificateArguments(name, path));
        plan.utility("relayctl-imap", certificateArguments(name, path));
    }

    plan.utility("relayctl-transport", senderTransportArguments(domain, domain.name));
    for (const std::string& alias : domain.aliases)
        plan.utility("relayctl-transport", senderTransportArguments(domain, alias));
    return std::move(plan.steps);
}

void performStep(const DomainInfo& domain, const Step& step) {
    switch (step.kind) {
    case Step::Kind::MailDirectory:
        prepareDomainMailDirectory(mailSystemUser(), step.name);
        break;
    case Step::Kind::Table:
        postfix::database::applyChange(step.change);
        break;
    case Step::Kind::DomainKeys:
        copyDomainKeysToAlias(domain, step.name);
        break;
    case Step::Kind::Utility:
        if (!step.otherwise) {
            runUtility(step.utility, step.arguments, step.ignoreFailure);
            break;
        }
        try {
            runUtility(step.utility, step.arguments);
        } catch (const std::exception&) {
            runUtility(step.utility, *step.otherwise, step.ignoreFailure);
        }
        break;
    }
}

} // namespace corvo::mail
