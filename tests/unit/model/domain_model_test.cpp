// Conversion of a domain_info record into the domain model: domain, alias and subscription
// names lower-cased in 'A' to 'Z' only (every other byte, above ASCII too, kept); system user
// and certificate names kept as given; a certificate name given twice keeps its later path.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "driver/model/DomainInfo.hpp"

namespace corvo {
namespace {

template <typename T> json_array arrayOf(std::vector<T>& items) {
    return {items.size(), items.size(), items.empty() ? nullptr : items.data()};
}

} // namespace

TEST(DomainModel, LowerCasesTheNamesAndKeepsTheLastPathOfEachCertificate) {
    struct Case {
        const char* domain;
        std::vector<const char*> aliases;
        std::vector<domain_certificate> certificates;
        const char* subscription;
        std::vector<const char*> sysusers; // kept as given
        std::string lowerDomain, lowerSubscription;
        std::vector<std::string> lowerAliases;
        std::map<std::string, std::string> paths; // certificate name -> path
    } cases[] = {
        // The bytes next to 'A' and 'Z' on either side, and bytes above ASCII that a locale
        // would take for letters; aliases in document order.
        {"@AZ[`az{",
         {"\xd0\x90", "\xc3\x89T\xc9.\xff"},
         {{"\xc3\x89Q", "\xc3\x89.pem"}},
         "X\xde\xc0",
         {"\xc3\x89Root", "ftp User"},
         "@az[`az{",
         "x\xde\xc0",
         {"\xd0\x90", "\xc3\x89t\xc9.\xff"},
         {{"\xc3\x89Q", "/opt/vca/var/certificates/\xc3\x89.pem"}}},
        // Certificate names differ by case only, one given twice; no aliases, no users.
        {"a",
         {},
         {{"c1", "f1"}, {"C1", "f2"}, {"c1", "f3"}},
         "b",
         {},
         "a",
         "b",
         {},
         {{"C1", "/opt/vca/var/certificates/f2"}, {"c1", "/opt/vca/var/certificates/f3"}}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.domain);
        domain_info record{};
        record.domain_name = c.domain;
        record.domain_aliases = arrayOf(c.aliases);
        record.domain_certificates = arrayOf(c.certificates);
        record.non_existent_type = "reject";
        record.non_existent_arg = record.vhost_id = record.transport_type = "";
        record.transport_ipv4 = record.transport_ipv6 = "";
        record.subscription_name = c.subscription;
        record.subscription_sysusers = arrayOf(c.sysusers);
        const DomainModel model = makeDomainModel(record);
        EXPECT_EQ(model.domain.name, c.lowerDomain);
        EXPECT_EQ(model.domain.aliases, c.lowerAliases);
        EXPECT_EQ(model.domain.certificates, c.paths);
        EXPECT_EQ(model.subscription.name, c.lowerSubscription);
        EXPECT_EQ(model.subscription.sysusers,
                  std::vector<std::string>(c.sysusers.begin(), c.sysusers.end()));
    }
}

} // namespace corvo
