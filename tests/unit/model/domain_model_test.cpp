// Conversion of the domain_info record into the domain model.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "driver/model/DomainInfo.hpp"

namespace {

using corvo::NonExistentMailType;

// A record as a successful read leaves it, with arrays over the given slots.
domain_info record(const char** aliases, std::uint64_t aliasCount, domain_certificate* certificates,
                   std::uint64_t certificateCount, const char** sysusers,
                   std::uint64_t sysuserCount) {
    domain_info r{};
    r.domain_name = "Ex-AMPLE.Com\xC3\x89";
    r.domain_aliases = {aliasCount, aliasCount, aliases};
    r.domain_certificates = {certificateCount, certificateCount, certificates};
    r.domain_enabled = 1;
    r.non_existent_type = "catchall";
    r.non_existent_arg = "Box@Example.com";
    r.vhost_id = "VH-1";
    r.domain_outgoing_limit = -3;
    r.is_main = 0;
    r.transport_type = "explicit-ip";
    r.transport_ipv4 = "203.0.113.10";
    r.transport_ipv6 = "";
    r.subscription_name = "Sub.Example.COM";
    r.subscription_sysusers = {sysuserCount, sysuserCount, sysusers};
    r.subscription_outgoing_limit = 1000;
    r.allow_sendmail = 1;
    return r;
}

TEST(DomainModel, ConvertsTheRecord) {
    const char* aliases[] = {"Alias.NET", "alias.net"};
    domain_certificate certificates[] = {{"b", "x.pem"}, {"A", ""}, {"b", "z.pem"}};
    const char* sysusers[] = {"FtpUser", "FtpUser"};
    const corvo::DomainModel model =
        corvo::makeDomainModel(record(aliases, 2, certificates, 3, sysusers, 2));
    const corvo::DomainInfo& d = model.domain;
    EXPECT_EQ(d.name, "ex-ample.com\xC3\x89");
    EXPECT_EQ(d.aliases, (std::vector<std::string>{"alias.net", "alias.net"}));
    const std::vector<std::pair<const std::string, std::string>> expectedCertificates = {
        {"A", "/opt/vca/var/certificates/"}, {"b", "/opt/vca/var/certificates/z.pem"}};
    EXPECT_EQ(std::vector(d.certificates.begin(), d.certificates.end()), expectedCertificates);
    EXPECT_EQ(d.non_existent_type, NonExistentMailType::Catchall);
    EXPECT_EQ(d.non_existent_arg, "Box@Example.com");
    EXPECT_EQ(d.vhost_id, "VH-1");
    EXPECT_EQ(d.outgoing_limit, -3);
    EXPECT_FALSE(d.is_main);
    EXPECT_TRUE(d.enabled);
    EXPECT_EQ(d.transport_type + "|" + d.transport_ipv4 + "|" + d.transport_ipv6,
              "explicit-ip|203.0.113.10|");
    const corvo::SubscriptionInfo& s = model.subscription;
    EXPECT_EQ(s.name, "sub.example.com");
    EXPECT_EQ(s.sysusers, (std::vector<std::string>{"FtpUser", "FtpUser"}));
    EXPECT_EQ(s.outgoing_limit, 1000);
    EXPECT_TRUE(s.allow_sendmail);
}

TEST(DomainModel, ParsesNonExistentMailTypeExactly) {
    EXPECT_EQ(corvo::parseNonExistentMailType("bounce"), NonExistentMailType::Bounce);
    EXPECT_EQ(corvo::parseNonExistentMailType("catchall"), NonExistentMailType::Catchall);
    EXPECT_EQ(corvo::parseNonExistentMailType("reject"), NonExistentMailType::Reject);
    for (const char* text : {"Bounce", "reject ", ""}) {
        try {
            corvo::parseNonExistentMailType(text);
            ADD_FAILURE() << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Non-existent mail type is not valid, should be either "
                                   "`reject`, `bounce` or `catchall`");
        }
    }
}

} // namespace
