// What a restore does, as data: the restore sequence as a list of steps, each the mail
// directory's preparation, one table operation (its postmap calls), one sibling command or
// one alias's keys copy. The restore performs the list in order; the check shows it and
// compares the server with it. Building the list reads the panel settings (administrative
// alias names) and changes nothing.
//
// Order: mail directory and mail switch; policy for the domain; subscription (add, or
// limits when the add fails); system users (failures ignored); domain (remove and add, or
// limits for the main domain); virtual host id (unregister and register); per alias:
// policy, domain keys, remove and add; certificates (relayctl-domain, then relayctl-imap,
// in name order); sender transports (the domain, then each alias). A domain whose mail is
// off gets the reject policy everywhere.
//
// DIAGNOSTICS: restorePlan fails only by std::bad_alloc. performStep raises whatever the
// step's own operation raises (see MailDirectory.hpp, SessionMailData.hpp, Postmap.hpp,
// Commands.hpp, DomainKeys.hpp).
#pragma once

#include "driver/Commands.hpp"
#include "driver/model/DomainInfo.hpp"
#include "postfix/database/Postmap.hpp"

#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

namespace corvo::mail {

// The domain's mail directory, created or corrected before any table is touched.
struct MailDirectoryStep {
    std::string domain;
};

// One table operation (the mail switch, or the policy for one name): its postmap calls in
// order, made inside one session mail data bracket. Reject has none, and still its bracket.
struct TableStep {
    std::vector<postfix::database::TableChange> changes;
};

// One sibling command; when it fails, `otherwise` runs instead, and with `failureIgnored`
// a failure does not end the run.
struct UtilityStep {
    Invocation command;
    std::optional<Invocation> otherwise;
    bool failureIgnored = false;
};

// The domain's keys copied to one alias.
struct DomainKeysStep {
    std::string alias;
};

using Step = std::variant<MailDirectoryStep, TableStep, UtilityStep, DomainKeysStep>;

// The programs a step runs, in order, each with its arguments and standard input: the
// postmap calls of a table step, the command of a utility step (its fallback runs only when
// it fails, and is not among them), nothing for the mail directory and the keys copy.
std::vector<Invocation> commandsOf(const Step& step);

// The non-existent mail policy a run applies: the document's, or reject when mail is off.
NonExistentMailType effectivePolicy(const DomainInfo& domain);

// Which steps restorePlan lists: all of a run, or only the mail directory and the table
// steps (what a comparison of the server with a run's outcome needs), in the same order.
enum class PlanParts { All, Tables };

std::vector<Step> restorePlan(const DomainInfo& domain, const SubscriptionInfo& subscription,
                              PlanParts parts = PlanParts::All);

// The programs that the steps of the document's whole plan run (commandsOf), each once,
// without building that plan: it stays small whatever the number of aliases.
std::set<std::string> planPrograms(const DomainInfo& domain, const SubscriptionInfo& subscription);

void performStep(const DomainInfo& domain, const Step& step);

} // namespace corvo::mail
