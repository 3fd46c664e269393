// The restore sequence as a list of steps, and the one place where a step is carried out.
#include "driver/Plan.hpp"

#include "driver/DomainKeys.hpp"
#include "files/MailDirectory.hpp"
#include "postfix/MailSwitch.hpp"
#include "postfix/NonExistentMail.hpp"
#include "postfix/SessionMailData.hpp"

#include <exception>
#include <iterator>
#include <type_traits>

namespace corvo::mail {
namespace {

void perform(const DomainInfo&, const MailDirectoryStep& step) {
    prepareDomainMailDirectory(mailSystemUser(), step.domain);
}

void perform(const DomainInfo&, const TableStep& step) {
    const postfix::SessionMailData session;
    for (const postfix::database::TableChange& change : step.changes)
        postfix::database::applyChange(change);
}

void perform(const DomainInfo&, const UtilityStep& step) {
    if (!step.otherwise) {
        runUtility(step.command, step.failureIgnored);
        return;
    }
    try {
        runUtility(step.command);
    } catch (const std::exception&) {
        runUtility(*step.otherwise, step.failureIgnored);
    }
}

void perform(const DomainInfo& domain, const DomainKeysStep& step) {
    copyDomainKeysToAlias(domain, step.alias);
}

} // namespace

std::vector<Invocation> commandsOf(const Step& step) {
    std::vector<Invocation> commands;
    if (const auto* table = std::get_if<TableStep>(&step)) {
        for (const postfix::database::TableChange& change : table->changes)
            commands.push_back(postfix::database::postmapCall(change));
    } else if (const auto* utility = std::get_if<UtilityStep>(&step)) {
        commands.push_back(utility->command);
    }
    return commands;
}

NonExistentMailType effectivePolicy(const DomainInfo& domain) {
    return domain.enabled ? domain.non_existent_type : NonExistentMailType::Reject;
}

std::vector<Step> restorePlan(const DomainInfo& domain, const SubscriptionInfo& subscription,
                              PlanParts parts) {
    const bool all = parts == PlanParts::All;
    const NonExistentMailType policy = effectivePolicy(domain);
    const auto policyFor = [&](const std::string& name) {
        return TableStep{postfix::nonExistentMailChanges(name, policy, domain.non_existent_arg)};
    };
    std::vector<Step> plan;
    plan.reserve(all ? 10 + subscription.sysusers.size() + 5 * domain.aliases.size() +
                           2 * domain.certificates.size()
                     : 3 + domain.aliases.size());
    const auto run = [&plan](Invocation command) {
        plan.emplace_back(UtilityStep{std::move(command), std::nullopt, false});
    };
    plan.emplace_back(MailDirectoryStep{domain.name});
    plan.emplace_back(TableStep{postfix::domainMailChanges(domain.name, domain.enabled)});
    plan.emplace_back(policyFor(domain.name));

    if (all) {
        // A subscription that exists already gets its limits brought up to date instead.
        plan.emplace_back(UtilityStep{subscriptionAddCommand(subscription),
                                      subscriptionLimitsCommand(subscription), false});
        for (const std::string& user : subscription.sysusers)
            plan.emplace_back(
                UtilityStep{systemUserCommand(subscription, user), std::nullopt, true});
        if (domain.is_main) {
            run(domainLimitsCommand(domain));
        } else {
            run(domainRemoveCommand(domain));
            run(domainAddCommand(domain, subscription));
        }
        run(vhostUnregisterCommand(domain));
        run(vhostRegisterCommand(domain));
    }

    for (const std::string& alias : domain.aliases) {
        plan.emplace_back(policyFor(alias));
        if (!all)
            continue;
        plan.emplace_back(DomainKeysStep{alias});
        run(aliasRemoveCommand(alias));
        run(aliasAddCommand(domain, alias));
    }
    if (!all)
        return plan;

    for (const auto& [name, path] : domain.certificates) {
        run(certificateCommand(kDomainUtility, name, path));
        run(certificateCommand(kImapUtility, name, path));
    }

    run(senderTransportCommand(domain, domain.name));
    for (const std::string& alias : domain.aliases)
        run(senderTransportCommand(domain, alias));
    return plan;
}

std::set<std::string> planPrograms(const DomainInfo& domain, const SubscriptionInfo& subscription) {
    // Every alias, certificate and system user after the first repeats the first one's
    // steps with other arguments, so the plan of the document cut to its first of each
    // runs the same programs.
    const auto first = [](const auto& items) {
        return std::decay_t<decltype(items)>(items.begin(),
                                             std::next(items.begin(), items.empty() ? 0 : 1));
    };
    const DomainInfo cut{.name = domain.name,
                         .aliases = first(domain.aliases),
                         .certificates = first(domain.certificates),
                         .non_existent_type = domain.non_existent_type,
                         .non_existent_arg = domain.non_existent_arg,
                         .vhost_id = domain.vhost_id,
                         .outgoing_limit = domain.outgoing_limit,
                         .is_main = domain.is_main,
                         .transport_type = domain.transport_type,
                         .transport_ipv4 = domain.transport_ipv4,
                         .transport_ipv6 = domain.transport_ipv6,
                         .enabled = domain.enabled};
    const SubscriptionInfo users{.name = subscription.name,
                                 .outgoing_limit = subscription.outgoing_limit,
                                 .sysusers = first(subscription.sysusers),
                                 .allow_sendmail = subscription.allow_sendmail};
    std::set<std::string> programs;
    for (const Step& step : restorePlan(cut, users))
        for (const Invocation& command : commandsOf(step))
            programs.insert(command.program);
    return programs;
}

void performStep(const DomainInfo& domain, const Step& step) {
    std::visit([&](const auto& each) { perform(domain, each); }, step);
}

} // namespace corvo::mail
