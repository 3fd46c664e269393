// The restore plan of whole documents: every step, in order, with each program, its
// arguments and its standard input, the fallback of a command and whether its failure is
// ignored. What the restore runs and what the check shows both come from these steps; the
// scenarios show that they run. The panel settings file is absent here, so the
// administrative names are the compiled-in ones.
#include "driver/Plan.hpp"

#include "input/domain_info.h"
#include "input/json_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using namespace corvo;
using namespace corvo::mail;

namespace {

// The document's fields that the rows vary; texts are JSON as written in the document.
struct Document {
    const char* aliases = "";
    const char* certificates = "";
    bool enabled = true;
    const char* policy = R"("catchall","arg":"catchall@example.com")";
    bool isMain = false;
    const char* transport = R"("explicit-ip","ipv4":"203.0.113.7","ipv6":"2001:db8::7")";
    const char* sysusers = "";
};

DomainModel modelOf(const Document& fields) {
    std::string text =
        std::string(R"({"domain":{"name":"Example.COM","aliases":[)") + fields.aliases +
        R"(],"certificates":[)" + fields.certificates + R"(],"enabled":)" +
        (fields.enabled ? "true" : "false") + R"(,"non_existent":{"type":)" + fields.policy +
        R"j(},"vhost_id":"vhost 1; $(x)","outgoing_limit":200,"is_main":)j" +
        (fields.isMain ? "true" : "false") + R"(,"transport":{"type":)" + fields.transport +
        R"(}},"subscription":{"name":"Owner.Example","sysusers":[)" + fields.sysusers +
        R"(],"outgoing_limit":-1,"allow_sendmail":true}})";
    json_reader* reader = json_reader_create(text.data(), nullptr);
    domain_info* record = domain_info_create(reader);
    EXPECT_EQ(domain_info_read(reader, record), 0u) << text;
    DomainModel model = makeDomainModel(*record);
    domain_info_release(reader, record);
    json_reader_release(reader);
    return model;
}

std::string quoted(const Invocation& command) {
    std::string line = "'" + command.program + "'";
    for (const std::string& argument : command.arguments)
        line += " '" + argument + "'";
    return line;
}

// One line per step, a command's fallback and ignored failure after it, and for a table
// step "tables" (its session bracket) with the postmap calls and their input lines under it.
std::vector<std::string> shown(const std::vector<Step>& plan) {
    std::vector<std::string> lines;
    for (const Step& step : plan) {
        if (const auto* directory = std::get_if<MailDirectoryStep>(&step))
            lines.push_back("directory " + directory->domain);
        if (const auto* keys = std::get_if<DomainKeysStep>(&step))
            lines.push_back("keys " + keys->alias);
        if (std::holds_alternative<TableStep>(step))
            lines.emplace_back("tables");
        for (const Invocation& command : commandsOf(step)) {
            lines.push_back(quoted(command));
            for (std::string rest = command.input; !rest.empty();) {
                const std::size_t end = rest.find('\n');
                lines.push_back("< " + rest.substr(0, end) +
                                (end == std::string::npos ? " (no line feed)" : ""));
                rest = end == std::string::npos ? "" : rest.substr(end + 1);
            }
        }
        if (const auto* utility = std::get_if<UtilityStep>(&step)) {
            if (utility->otherwise)
                lines.push_back("  else " + quoted(*utility->otherwise));
            if (utility->failureIgnored)
                lines.emplace_back("  failure ignored");
        }
    }
    return lines;
}

const std::string postmap = "'/usr/sbin/postmap' ";
const std::string domains = "'hash:/var/spool/postfix/corvo/virtual_domains'";
const std::string virtuals = "'hash:/var/spool/postfix/corvo/virtual'";
const std::string aliases = "'hash:/var/spool/postfix/corvo/aliases'";
const std::string outgoing = "'/opt/vca/admin/sbin/relayctl-outgoing' ";
const std::string transport = "'/opt/vca/admin/sbin/relayctl-transport' "
                              "'--add-domain-to-sender-transport' '--domain-name' ";
const std::string explicitIp =
    " '--ip4-addr' '203.0.113.7' '--ip6-addr' '2001:db8::7' '--transport-type' 'explicit-ip'";
const std::string bounceProgram = "\"|/usr/lib/corvo-9.0/bouncemessage";

using Lines = std::vector<std::string>;

Lines operator+(Lines first, const Lines& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The mail switch of example.com.
Lines mailOn() {
    Lines lines{"directory example.com", "tables", postmap + "'-r' '-i' " + domains,
                "< example.com example.com/", postmap + "'-r' '-i' " + virtuals};
    for (const char* name : {"anonymous", "drweb", "kluser", "mailer-daemon", "postmaster", "root"})
        lines.push_back(std::string("< ") + name + "@example.com " + name +
                        "@localhost.localdomain");
    return lines;
}

Lines mailOff() {
    Lines lines{"directory example.com", "tables", postmap + "'-d' 'example.com' " + domains,
                postmap + "'-d' '-' " + virtuals};
    for (const char* name : {"anonymous", "drweb", "kluser", "mailer-daemon", "postmaster", "root"})
        lines.push_back(std::string("< ") + name + "@example.com");
    return lines + Lines{postmap + "'-d' '-' " + virtuals, "< @example.com"};
}

Lines catchAll(const std::string& name) {
    return {"tables", postmap + "'-r' '-i' " + virtuals, "< @" + name + " catchall@example.com"};
}

// The subscription, with two system users or none.
Lines subscription(bool users) {
    Lines lines{outgoing + "'--add-subscription' '--main-domain-name=owner.example' "
                           "'--out-limit=-1' '--allow-sendmail=1'",
                "  else " + outgoing +
                    "'--set-subscription-limits' '--main-domain-name=owner.example' "
                    "'--out-limit=-1' '--allow-sendmail=1'"};
    if (users)
        lines = lines + Lines{outgoing + "'--add-sysuser' '--main-domain-name=owner.example' "
                                         "'--sysuser=WebUser'",
                              "  failure ignored",
                              outgoing + "'--add-sysuser' '--main-domain-name=owner.example' "
                                         "'--sysuser=ftp user'",
                              "  failure ignored"};
    return lines;
}

// The domain and its virtual host id, for a domain that is not the subscription's main one.
const Lines otherDomain{
    outgoing + "'--remove-domain' '--domain-name=example.com'",
    outgoing + "'--add-domain' '--domain-name=example.com' '--main-domain-name=owner.example' "
               "'--out-limit=200'",
    outgoing + "'--unregister-vhost-id' '--vhost-id=vhost 1; $(x)'",
    outgoing + "'--register-vhost-id' '--domain-name=example.com' '--vhost-id=vhost 1; $(x)'"};

Lines alias(const std::string& name, const Lines& policy) {
    return policy + Lines{"keys " + name,
                          outgoing + "'--remove-domain-alias' '--domain-alias-name=" + name + "'",
                          outgoing +
                              "'--add-domain-alias' '--domain-name=example.com' "
                              "'--domain-alias-name=" +
                              name + "'"};
}

Lines certificate(const std::string& name, const std::string& file) {
    const std::string arguments = " '--install-certificate' '--names' '" + name +
                                  "' '--certfile' '/opt/vca/var/certificates/" + file + "'";
    return {"'/opt/vca/admin/sbin/relayctl-domain'" + arguments,
            "'/opt/vca/admin/sbin/relayctl-imap'" + arguments};
}

} // namespace

TEST(RestorePlan, HoldsEveryCommandOfADocument) {
    const struct {
        const char* name;
        Document document;
        Lines steps;
    } cases[] = {
        {"not the main domain, two aliases, a certificate, domain-ip without addresses",
         {.aliases = R"("Alias-One.example","alias-two.example")",
          .certificates = R"({"name":"Mail-Cert","certfile":"cert-1.pem"})",
          .transport = R"("domain-ip","ipv4":"","ipv6":"")",
          .sysusers = R"("WebUser","ftp user")"},
         mailOn() + catchAll("example.com") + subscription(true) + otherDomain +
             alias("alias-one.example", catchAll("alias-one.example")) +
             alias("alias-two.example", catchAll("alias-two.example")) +
             certificate("Mail-Cert", "cert-1.pem") +
             Lines{transport + "'example.com' '--transport-type' 'domain-ip'",
                   transport + "'alias-one.example' '--transport-type' 'domain-ip'",
                   transport + "'alias-two.example' '--transport-type' 'domain-ip'"}},
        {"the main domain bounces, no system users",
         {.policy = R"("bounce","arg":"Sorry gone")", .isMain = true},
         mailOn() +
             Lines{"tables", postmap + "'-r' '-i' " + aliases,
                   "< _corvo_bounce_example.com " + bounceProgram + " Sorry\\\\\\ gone\"",
                   postmap + "'-r' '-i' " + virtuals,
                   "< @example.com _corvo_bounce_example.com@localhost.localdomain"} +
             subscription(false) +
             Lines{outgoing + "'--set-domain-limits' '--domain-name=example.com' '--out-limit=200'",
                   outgoing + "'--unregister-vhost-id' '--vhost-id=vhost 1; $(x)'",
                   outgoing + "'--register-vhost-id' '--domain-name=example.com' "
                              "'--vhost-id=vhost 1; $(x)'",
                   transport + "'example.com'" + explicitIp}},
        {"an alias bounces with an empty message",
         {.aliases = R"("a.example")", .policy = R"("bounce","arg":"")"},
         mailOn() +
             Lines{"tables", postmap + "'-r' '-i' " + aliases,
                   "< _corvo_bounce_example.com " + bounceProgram + "\"",
                   postmap + "'-r' '-i' " + virtuals,
                   "< @example.com _corvo_bounce_example.com@localhost.localdomain"} +
             subscription(false) + otherDomain +
             alias("a.example", {"tables", postmap + "'-r' '-i' " + aliases,
                                 "< _corvo_bounce_a.example " + bounceProgram + "\"",
                                 postmap + "'-r' '-i' " + virtuals,
                                 "< @a.example _corvo_bounce_a.example@localhost.localdomain"}) +
             Lines{transport + "'example.com'" + explicitIp,
                   transport + "'a.example'" + explicitIp}},
        {"mail off rejects for the domain and its alias, domain-name with IPv6 alone",
         {.aliases = R"("a.example")",
          .enabled = false,
          .transport = R"("domain-name","ipv4":"","ipv6":"2001:db8::1")"},
         mailOff() + Lines{"tables"} + subscription(false) + otherDomain +
             alias("a.example", {"tables"}) +
             Lines{transport + "'example.com' '--ip6-addr' '2001:db8::1' '--transport-type' "
                               "'domain-name'",
                   transport + "'a.example' '--ip6-addr' '2001:db8::1' '--transport-type' "
                               "'domain-name'"}},
        {"reject with mail on, certificates in name order, explicit-ip with IPv4 alone",
         {.certificates = R"({"name":"b","certfile":"b.pem"},{"name":"a","certfile":"a.pem"},)"
                          R"({"name":"B-Upper","certfile":""},)"
                          R"({"name":"b","certfile":"b-later.pem"})",
          .policy = R"("reject","arg":"")",
          .transport = R"("explicit-ip","ipv4":"192.0.2.1","ipv6":"")",
          .sysusers = R"("WebUser","ftp user")"},
         mailOn() + Lines{"tables"} + subscription(true) + otherDomain +
             certificate("B-Upper", "") + certificate("a", "a.pem") +
             certificate("b", "b-later.pem") +
             Lines{transport + "'example.com' '--ip4-addr' '192.0.2.1' '--transport-type' "
                               "'explicit-ip'"}},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.name);
        const DomainModel model = modelOf(item.document);
        const std::vector<Step> plan = restorePlan(model.domain, model.subscription);
        const Lines steps = shown(plan);
        for (std::size_t i = 0; i < std::max(steps.size(), item.steps.size()); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(i < steps.size() ? steps[i] : "(none)",
                      i < item.steps.size() ? item.steps[i] : "(none)");
        }
        // The tables' part is the whole plan's mail directory and table steps, in its order.
        std::vector<Step> tables;
        for (const Step& step : plan)
            if (std::holds_alternative<MailDirectoryStep>(step) ||
                std::holds_alternative<TableStep>(step))
                tables.push_back(step);
        EXPECT_EQ(shown(restorePlan(model.domain, model.subscription, PlanParts::Tables)),
                  shown(tables));
        // The programs, without the whole plan, are the whole plan's.
        std::set<std::string> programs;
        for (const Step& step : plan)
            for (const Invocation& command : commandsOf(step))
                programs.insert(command.program);
        EXPECT_EQ(planPrograms(model.domain, model.subscription), programs);
    }
}
