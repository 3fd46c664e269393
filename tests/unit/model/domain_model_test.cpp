// Conversion of the domain_info record into the domain model.
#include <gtest/gtest.h>

#include <stdexcept>

#include "driver/model/DomainInfo.hpp"

namespace corvo {
TEST(DomainModel, LowerCasesNamesAndKeepsTheLastPathOfEachCertificate) {
    const char* aliases[] = {"Alias.NET\xC3\x89"};
    domain_certificate certificates[] = {{"b", "x.pem"}, {"A", ""}, {"b", "z.pem"}};
    const char* sysusers[] = {"FtpUser"};
    domain_info r{};
    r.domain_name = "Ex-AMPLE.Com\xC3\x89";
    r.domain_aliases = {1, 1, aliases};
    r.domain_certificates = {3, 3, certificates};
    r.non_existent_type = "catchall";
    r.non_existent_arg = "Box@Example.com";
    r.vhost_id = r.transport_type = r.transport_ipv4 = r.transport_ipv6 = "";
    r.subscription_name = "Sub.Example.COM";
    r.subscription_sysusers = {1, 1, sysusers};
    const DomainModel model = makeDomainModel(r);
    EXPECT_EQ(model.domain.name, "ex-ample.com\xC3\x89");
    EXPECT_EQ(model.domain.aliases, std::vector<std::string>{"alias.net\xC3\x89"});
    EXPECT_EQ(model.domain.certificates,
              (std::map<std::string, std::string>{{"A", "/opt/vca/var/certificates/"},
                                                  {"b", "/opt/vca/var/certificates/z.pem"}}));
    EXPECT_EQ(model.domain.non_existent_type, NonExistentMailType::Catchall);
    EXPECT_EQ(model.domain.non_existent_arg, "Box@Example.com");
    EXPECT_EQ(model.subscription.name, "sub.example.com");
    EXPECT_EQ(model.subscription.sysusers, std::vector<std::string>{"FtpUser"});
}

// The types' spellings are shown end to end (policy-*); the reader refuses any other first.
TEST(DomainModel, RefusesAnOtherSpellingOfTheMailType) {
    try {
        parseNonExistentMailType("Bounce");
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Non-existent mail type is not valid, should be either `reject`, "
                               "`bounce` or `catchall`");
    }
}

} // namespace corvo
