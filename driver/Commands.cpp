// Command lines of the sibling utilities: relayctl-outgoing (subscription, system users,
// domain, virtual host id, aliases), relayctl-domain and relayctl-imap (certificates),
// relayctl-transport (sender-dependent transports).
#include "driver/Commands.hpp"

#include "lib/process/lib/ExecCmd.hpp"

#include <string>

namespace corvo::mail {
namespace {

std::string flagDigit(bool flag) {
    return std::to_string(flag ? 1 : 0);
}

} // namespace

const std::string kUtilitiesDirectory = std::string("/opt/vca") + "/admin/sbin/";

Arguments subscriptionAddArguments(const SubscriptionInfo& subscription) {
    return {"--add-subscription", "--main-domain-name=" + subscription.name,
            "--out-limit=" + std::to_string(subscription.outgoing_limit),
            "--allow-sendmail=" + flagDigit(subscription.allow_sendmail)};
}

Arguments subscriptionLimitsArguments(const SubscriptionInfo& subscription) {
    return {"--set-subscription-limits", "--main-domain-name=" + subscription.name,
            "--out-limit=" + std::to_string(subscription.outgoing_limit),
            "--allow-sendmail=" + flagDigit(subscription.allow_sendmail)};
}

Arguments systemUserArguments(const SubscriptionInfo& subscription, const std::string& user) {
    return {"--add-sysuser", "--main-domain-name=" + subscription.name, "--sysuser=" + user};
}

Arguments domainRemoveArguments(const DomainInfo& domain) {
    return {"--remove-domain", "--domain-name=" + domain.name};
}

Arguments domainAddArguments(const DomainInfo& domain, const SubscriptionInfo& subscription) {
    return {"--add-domain", "--domain-name=" + domain.name,
            "--main-domain-name=" + subscription.name,
            "--out-limit=" + std::to_string(domain.outgoing_limit)};
}

Arguments domainLimitsArguments(const DomainInfo& domain) {
    return {"--set-domain-limits", "--domain-name=" + domain.name,
            "--out-limit=" + std::to_string(domain.outgoing_limit)};
}

Arguments vhostUnregisterArguments(const DomainInfo& domain) {
    return {"--unregister-vhost-id", "--vhost-id=" + domain.vhost_id};
}

Arguments vhostRegisterArguments(const DomainInfo& domain) {
    return {"--register-vhost-id", "--domain-name=" + domain.name, "--vhost-id=" + domain.vhost_id};
}

Arguments aliasRemoveArguments(const std::string& alias) {
    return {"--remove-domain-alias", "--domain-alias-name=" + alias};
}

Arguments aliasAddArguments(const DomainInfo& domain, const std::string& alias) {
    return {"--add-domain-alias", "--domain-name=" + domain.name, "--domain-alias-name=" + alias};
}

Arguments certificateArguments(const std::string& name, const std::string& path) {
    return {"--install-certificate", "--names", name, "--certfile", path};
}

Arguments senderTransportArguments(const DomainInfo& domain, const std::string& name) {
    Arguments arguments{"--add-domain-to-sender-transport", "--domain-name", name};
    if (!domain.transport_ipv4.empty()) {
        arguments.emplace_back("--ip4-addr");
        arguments.push_back(domain.transport_ipv4);
    }
    if (!domain.transport_ipv6.empty()) {
        arguments.emplace_back("--ip6-addr");
        arguments.push_back(domain.transport_ipv6);
    }
    arguments.emplace_back("--transport-type");
    arguments.push_back(domain.transport_type);
    return arguments;
}

void runUtility(const std::string& utility, const Arguments& arguments, bool ignoreFailure) {
    ExecCmd command(kUtilitiesDirectory + utility);
    for (const std::string& argument : arguments)
        command.add(argument);
    if (ignoreFailure)
        command.runNoThrow();
    else
        command.run();
}

} // namespace corvo::mail
