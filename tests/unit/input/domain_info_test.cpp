// Binding of the domain document: required fields, types, defaults, constraints with their
// messages, the domain name rule, repeated fields, failing allocations, the example document.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "tests/unit/input/document.h"

using corvo_test::baseDocument;
using corvo_test::Document;
using corvo_test::replaced;

namespace {

TEST(DomainInfo, RefusesMalformedDocumentsAtTheRightPlace) {
    struct Case {
        const char* from; // replaced in the base document; "" replaces all of it
        const char* to;
        std::uint32_t code;
        const char* at; // text found at the error position; "" is the end
        const char* message = nullptr;
    } cases[] = {
        {"", "", 11, ""},
        {"", "{}", 14, ""},
        {"", "{\"domain\":{}}", 14, "}"},
        {R"(,"subscription":{"name":"example.com","sysusers":["u1"],"outgoing_limit":7})", "", 14,
         ""},
        {R"("aliases":["example.net"],)", "", 14, R"(,"subscription")"},
        {R"({"name":"c1","certfile":"f1"})", "{}", 14, R"(],"non_existent")"},
        {R"(,"certfile":"f1")", "", 14, R"(],"non_existent")"},
        {R"({"name":"c1","certfile":"f1"})", R"("c")", 11, R"("c"])"},
        {R"(,"arg":"")", "", 14, R"(,"vhost_id")"},
        {R"(,"ipv6":"")", "", 14, R"(},"subscription")"},
        {R"("name":"example.com","aliases")", R"("name":null,"aliases")", 7, "null"},
        {R"("transport":{"type":"domain-ip","ipv4":"","ipv6":""})", R"("transport":null)", 11,
         "null"},
        {R"(["u1"])", "null", 15, "null"},
        {R"("vhost_id")", R"("is_main":null,"vhost_id")", 17, "null"},
        {"\"outgoing_limit\":5", "\"outgoing_limit\":null", 4, "null"},
        {":7}", R"(:"7"})", 4, R"("7")"},
        {":5,", ": 2147483648,", 5, " 2147483648"},
        {R"("vhost_id")", R"("enabled":truex,"vhost_id")", 13, "x,"},
        {":7}}", ":7,}}", 7, "}}"},
        {R"("vhost_id")", R"("zz":[1,],"vhost_id")", 3, R"(],"vhost_id")"},
        {R"("vhost_id")", R"("zz":{"a":1.},"vhost_id")", 6, "1.}"},
        {"\"reject\"", "\"Reject\"", 23, R"(,"arg")",
         "Non-existent mail type is not valid (should be either `reject`, `bounce` or "
         "`catchall`)"},
        {"\"v1\"", "\"\"", 23, R"(,"outgoing_limit":5)", "Vhost ID is empty"},
        {"\"domain-ip\"", "\"None\"", 23, R"(,"ipv4")", "None"},
        {R"(["u1"])", R"(["u1",""])", 23, R"(],"outgoing_limit":7)",
         "Subscription system user name is empty"},
        {R"(["example.net"])", R"(["a_b"])", 23, R"(],"certificates")",
         "Domain alias name is not valid"},
        {R"({"domain":{"name":"example.com")", R"({"domain":{"name":"ex..com")", 23,
         R"(,"aliases")", "Domain name is not valid"},
        {R"("subscription":{"name":"example.com")", R"("subscription":{"name":"-x")", 23,
         R"(,"sysusers")", "Subscription name is not valid"},
    };
    for (const Case& c : cases) {
        const std::string text = *c.from ? replaced(baseDocument, c.from, c.to) : c.to;
        SCOPED_TRACE(text);
        ASSERT_TRUE(!*c.from || text != baseDocument);
        Document d(text);
        EXPECT_EQ(d.read(), c.code);
        const std::size_t offset = *c.at ? text.rfind(c.at) : text.size();
        EXPECT_EQ(d.offset(), offset);
        if (c.message != nullptr) {
            errno = 0;
            EXPECT_EQ(std::string(json_error_text(d.reader)),
                      "Custom JSON value constraint failed: " + std::string(c.message) +
                          ". Error occured at offset " + std::to_string(offset) + ", character '" +
                          text[offset] + "'. ");
        }
    }
}

TEST(DomainInfo, AppliesDefaultsSkipsUnknownFieldsAndKeepsTheLastRepeat) {
    Document plain(baseDocument + "garbage[{");
    ASSERT_EQ(plain.read(), 0u);
    EXPECT_EQ(plain.record->domain_enabled, 1);
    EXPECT_EQ(plain.record->is_main, 0);
    EXPECT_EQ(plain.record->allow_sendmail, 1);
    EXPECT_EQ(plain.record->domain_outgoing_limit, 5);

    std::string text = replaced(baseDocument, R"("aliases":["example.net"])",
                                R"("aliases":["a.b","c.d"],"enabled":false,"aliases":["e.f"])");
    text = replaced(text, R"("vhost_id")",
                    R"("zz":{"a":[1.5e3,null,{"b":-}],"name":"x_"},"is_main":true,"vhost_id")");
    text = replaced(text, R"(,"ipv6":"")", R"(,"ipv6":"","type":"explicit-ip")");
    text = replaced(text, R"(["u1"])", R"(["u1"],"sysusers":[],"allow_sendmail":false)");
    Document d(text);
    ASSERT_EQ(d.read(), 0u);
    const domain_info& r = *d.record;
    EXPECT_EQ(r.domain_enabled, 0);
    EXPECT_EQ(r.is_main, 1);
    EXPECT_EQ(r.allow_sendmail, 0);
    EXPECT_STREQ(r.transport_type, "explicit-ip");
    ASSERT_EQ(r.domain_aliases.count, 1u);
    ASSERT_EQ(r.domain_aliases.capacity, 2u);
    EXPECT_STREQ(static_cast<const char**>(r.domain_aliases.items)[0], "e.f");
    EXPECT_EQ(static_cast<const char**>(r.domain_aliases.items)[1], nullptr);
    EXPECT_EQ(r.subscription_sysusers.count, 0u);
}

TEST(DomainInfo, DomainNameRule) {
    const std::string label63(63, 'a');
    const std::string name255 = label63 + "." + label63 + "." + label63 + "." + label63;
    struct Case {
        std::string name;
        bool valid;
    } cases[] = {
        {name255, true},
        {name255.substr(0, 191) + "." + std::string(63, 'b'), true},
        {name255 + "a", false},
        {std::string(64, 'a') + ".com", false},
        {"localhost", true},
        {"Ex-4.C0m", true},
        {".a.com", false},
        {"a.com.", false},
        {"a..com", false},
        {"-a.com", false},
        {"a-.com", false},
        {"a.-com", false},
        {"a_b.com", false},
        {"a b.com", false},
        {"\x80"
         "a.com",
         false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_valid_domain_name(c.name.c_str()), c.valid);
    }
    EXPECT_EQ(name255.size(), 255u);
    EXPECT_FALSE(is_valid_domain_name(nullptr));
}

// Counts allocations, refuses the one numbered failAt, and tracks live blocks.
struct CountingHeap {
    int calls = 0;
    int failAt = -1;
    std::set<void*> live;

    static void* allocate(void* context, std::size_t size) {
        return reallocate(context, nullptr, size);
    }
    static void* reallocate(void* context, void* block, std::size_t size) {
        auto& heap = *static_cast<CountingHeap*>(context);
        if (heap.calls++ == heap.failAt) {
            return nullptr;
        }
        heap.live.erase(block);
        void* grown = std::realloc(block, size);
        heap.live.insert(grown);
        return grown;
    }
    static void release(void* context, void* block) {
        static_cast<CountingHeap*>(context)->live.erase(block);
        std::free(block);
    }
};

TEST(DomainInfo, EveryFailingAllocationGivesCodeTwentyWithoutLeaking) {
    std::string text = replaced(baseDocument, R"("example.net")", R"("example.net","b.c","d.e")");
    text =
        replaced(text, R"("vhost_id")",
                 "\"deep\":" + std::string(5000, '[') + std::string(5000, ']') + ",\"vhost_id\"");
    int goodCalls = 0;
    for (int failAt = 0;; ++failAt) {
        SCOPED_TRACE(failAt);
        CountingHeap heap;
        heap.failAt = failAt;
        const json_allocator allocator{&heap, CountingHeap::allocate, CountingHeap::reallocate,
                                       CountingHeap::release};
        {
            Document d(text, &allocator);
            if (d.reader == nullptr || d.record == nullptr) {
                EXPECT_LE(failAt, 1);
            } else {
                const std::uint32_t code = d.read();
                if (code == 0) {
                    goodCalls = heap.calls;
                    EXPECT_EQ(failAt, goodCalls);
                    break;
                }
                EXPECT_EQ(code, JSON_ERROR_NO_MEMORY);
                // Only the reader, the record and its item blocks may still be held.
                EXPECT_LE(heap.live.size(), 5u);
            }
        }
        EXPECT_TRUE(heap.live.empty());
    }
    EXPECT_GE(goodCalls, 2 + 3 + 1 + 1 + 4); // reader, record, items, skip stack
}

TEST(DomainInfo, ReadsTheExampleDocument) {
    std::ifstream file(CORVO_SOURCE_DIR "/examples/domain.json", std::ios::binary);
    ASSERT_TRUE(file.good());
    Document d(std::string(std::istreambuf_iterator<char>(file), {}));
    ASSERT_EQ(d.read(), 0u);
    EXPECT_STREQ(d.record->domain_name, "example.com");
    EXPECT_EQ(d.record->domain_aliases.count, 2u);
    EXPECT_EQ(d.record->domain_certificates.count, 1u);
    EXPECT_STREQ(d.record->transport_ipv6, "2001:db8::10");
    EXPECT_EQ(d.record->subscription_outgoing_limit, 1000);
    EXPECT_EQ(d.record->allow_sendmail, 0);
}

} // namespace
