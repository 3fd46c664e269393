// Command lines of the sibling utilities: relayctl-outgoing (subscription, system users,
// domain, virtual host id, aliases), relayctl-domain and relayctl-imap (certificates),
// relayctl-transport (sender-dependent transports).
#include "driver/Commands.hpp"

#include "lib/process/lib/ExecCmd.hpp"

#include <string>
#include <utility>
#include <vector>

namespace corvo::mail {

const std::string kUtilitiesDirectory = std::string("/opt/vca") + "/admin/sbin/";

namespace {

std::string flagDigit(bool flag) {
    return std::to_string(flag ? 1 : 0);
}

Invocation utility(const std::string& name, std::vector<std::string> arguments) {
    return {kUtilitiesDirectory + name, std::move(arguments), {}};
}

Invocation outgoing(std::vector<std::string> arguments) {
    return utility(kOutgoingUtility, std::move(arguments));
}

} // namespace

Invocation subscriptionAddCommand(const SubscriptionInfo& subscription) {
    return outgoing({"--add-subscription", "--main-domain-name=" + subscription.name,
                     "--out-limit=" + std::to_string(subscription.outgoing_limit),
                     "--allow-sendmail=" + flagDigit(subscription.allow_sendmail)});
}

Invocation subscriptionLimitsCommand(const SubscriptionInfo& subscription) {
    return outgoing({"--set-subscription-limits", "--main-domain-name=" + subscription.name,
                     "--out-limit=" + std::to_string(subscription.outgoing_limit),
                     "--allow-sendmail=" + flagDigit(subscription.allow_sendmail)});
}

Invocation systemUserCommand(const SubscriptionInfo& subscription, const std::string& user) {
    return outgoing(
        {"--add-sysuser", "--main-domain-name=" + subscription.name, "--sysuser=" + user});
}

Invocation domainRemoveCommand(const DomainInfo& domain) {
    return outgoing({"--remove-domain", "--domain-name=" + domain.name});
}

Invocation domainAddCommand(const DomainInfo& domain, const SubscriptionInfo& subscription) {
    return outgoing({"--add-domain", "--domain-name=" + domain.name,
                     "--main-domain-name=" + subscription.name,
                     "--out-limit=" + std::to_string(domain.outgoing_limit)});
}

Invocation domainLimitsCommand(const DomainInfo& domain) {
    return outgoing({"--set-domain-limits", "--domain-name=" + domain.name,
                     "--out-limit=" + std::to_string(domain.outgoing_limit)});
}

Invocation vhostUnregisterCommand(const DomainInfo& domain) {
    return outgoing({"--unregister-vhost-id", "--vhost-id=" + domain.vhost_id});
}

Invocation vhostRegisterCommand(const DomainInfo& domain) {
    return outgoing(
        {"--register-vhost-id", "--domain-name=" + domain.name, "--vhost-id=" + domain.vhost_id});
}

Invocation aliasRemoveCommand(const std::string& alias) {
    return outgoing({"--remove-domain-alias", "--domain-alias-name=" + alias});
}

Invocation aliasAddCommand(const DomainInfo& domain, const std::string& alias) {
    return outgoing(
        {"--add-domain-alias", "--domain-name=" + domain.name, "--domain-alias-name=" + alias});
}

Invocation certificateCommand(const std::string& installer, const std::string& name,
                              const std::string& path) {
    return utility(installer, {"--install-certificate", "--names", name, "--certfile", path});
}

Invocation senderTransportCommand(const DomainInfo& domain, const std::string& name) {
    std::vector<std::string> arguments{"--add-domain-to-sender-transport", "--domain-name", name};
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
    return utility(kTransportUtility, std::move(arguments));
}

void runUtility(const Invocation& invocation, bool ignoreFailure) {
    ExecCmd command(invocation.program);
    for (const std::string& argument : invocation.arguments)
        command.add(argument);
    command.setStdinText(invocation.input);
    if (ignoreFailure)
        command.runNoThrow();
    else
        command.run();
}

} // namespace corvo::mail
