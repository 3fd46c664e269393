// Binding of the domain document: exact error texts, values, defaults, repeats, allocations.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "tests/unit/input/document.h"

namespace corvo_test {

// The texts of refused documents, kept here once; input-missing-required-field and the check's
// document-input-missing-required-field show one of them end to end.
TEST(DomainInfo, RefusesMalformedDocumentsWithTheExactErrorText) {
    const std::map<std::uint32_t, std::string> sentences = {
        {2, "JSON document has ended prematurely. Check that all strings are properly ended."},
        {3, "Any value is expected, but was not found."},
        {4, "Number is expected."},
        {5, "Number value is out of range for expected type."},
        {6, "Invalid or unsupported number format. Check that there are no floating point "
            "numbers."},
        {7, "String is expected."},
        {8, "Invalid escape sequence found in string."},
        {9, "Invalid character found in string. Check that strings do not contain control "
            "characters."},
        {10, "Invalid or unsupported Unicode character or escape sequence found in string. UTF8 "
             "encoded characters and '\\u' escape sequences are not supported."},
        {11, "JSON object is expected."},
        {12, "JSON name separator (':') is expected inside an object."},
        {13, "JSON value separator (',') or end of object is expected."},
        {14, "Some required fields are missing from the JSON object. Check that input JSON "
             "document conforms to schema."},
        {15, "JSON array is expected."},
        {16, "JSON value separator (',') or end of array is expected."},
        {17, "Boolean value is expected."},
        {18, "'null' is expected."},
    };
    const char* const erange = "Also system error occured: Numerical result out of range (34).";
    struct Case {
        const char *from, *to; // from is replaced in the base document; "" replaces all of it
        std::uint32_t code;
        const char* at;              // text found at the error position; "" is the end
        const char* extra = nullptr; // the constraint message (23), or what follows the place
    } cases[] = {
        {"", R"({"domain":{"name":"ex)", 2, R"("ex)"},
        {"", "", 11, ""},
        {R"({"domain")", "\xef\xbb\xbf{\"domain\"", 11, "\xef"},
        {R"({"name":"example.com","sysusers":["u1"],"outgoing_limit":7})", "[1]", 11, "[1]"},
        {R"("vhost_id")", R"("zz":[1,],"vhost_id")", 3, R"(],"vhost_id")"},
        {":5,", ": 2147483648,", 5, " 2147483648"},
        {":5,", ":9223372036854775808,", 5, "9223372036854775808", erange},
        {":5,", ": \"5\",", 4, R"( "5")"},
        {":5,", ":1.5,", 6, "1.5"},
        {":5,", ":1e3,", 6, "1e3"},
        {R"("name":"example.com","aliases")", R"("name":null,"aliases")", 7, "null"},
        {R"("v1")", R"("v\q")", 8, R"(\q")"},
        {"", R"({"domain":{"name":"a\)", 8, "\\"},
        {R"("v1")", R"("v\u0041")", 10, R"(\u0041")"},
        {"", R"({"domain":{"name":"a\u00)", 10, R"(\u00)"},
        {R"("vhost_id")", R"("zz":{"a" 1},"vhost_id")", 12, "1},"},
        {R"("vhost_id")", R"("enabled":truex,"vhost_id")", 13, "x,"},
        {R"(,"certfile":"f1")", "", 14, R"(],"non_existent")"},
        {R"(,"ipv6":"")", "", 14, R"(},"subscription")"},
        {R"(,"subscription":{"name":"example.com","sysusers":["u1"],"outgoing_limit":7})", "", 14,
         ""},
        {R"(["u1"])", "null", 15, "null"},
        {R"("vhost_id")", R"("zz":[1 2],"vhost_id")", 16, R"(2],"vhost_id")"},
        {R"("vhost_id")", R"("is_main":null,"vhost_id")", 17, "null"},
        {R"("vhost_id")", R"("zz":nil,"vhost_id")", 18, "nil"},
        {R"("v1")", R"("")", 23, R"(,"outgoing_limit":5)", "Vhost ID is empty"},
        {R"(["u1"])", R"(["u1",""])", 23, R"(],"outgoing_limit":7)",
         "Subscription system user name is empty"},
        {R"("name":"example.com","aliases")", R"("name":"ex..com","aliases")", 23, R"(,"aliases")",
         "Domain name is not valid"},
        {R"({"name":"example.com","sysusers")", R"({"name":"-x","sysusers")", 23, R"(,"sysusers")",
         "Subscription name is not valid"},
        {R"(["example.net"])", R"(["example.net","bad_name.example"])", 23, R"(],"certificates")",
         "Domain alias name is not valid"},
        {R"("reject")", R"("discard")", 23, R"(,"arg")",
         "Non-existent mail type is not valid (should be either `reject`, `bounce` or "
         "`catchall`)"},
        {R"("domain-ip")", R"("None")", 23, R"(,"ipv4")", "None"},
    };
    for (const Case& c : cases) {
        const std::string text = *c.from ? replaced(kBaseDocument, c.from, c.to) : c.to;
        SCOPED_TRACE(text);
        Document d(text);
        errno = 0;
        EXPECT_EQ(d.read(), c.code);
        const std::size_t offset = *c.at ? text.rfind(c.at) : text.size();
        const auto ch = static_cast<unsigned char>(text[offset]); // the NUL at the end
        char shown[8];
        std::snprintf(shown, sizeof shown, ch >= 0x20 && ch < 0x7f ? "%c" : "\\x%02x", ch);
        const bool constraint = c.code == JSON_ERROR_CONSTRAINT;
        EXPECT_EQ(json_error_text(d.reader),
                  (constraint ? "Custom JSON value constraint failed: " + std::string(c.extra) + "."
                              : sentences.at(c.code)) +
                      " Error occured at offset " + std::to_string(offset) + ", character '" +
                      shown + "'. " + (!constraint && c.extra ? c.extra : ""));
    }
}

// Every control byte inside a string is refused where it stands (NUL ends the document).
TEST(DomainInfo, RefusesEachControlByteInAString) {
    for (char byte = 1; byte < 0x20; ++byte) {
        const std::string text =
            replaced(kBaseDocument, R"("v1")", std::string("\"v") + byte + "1\"");
        SCOPED_TRACE(static_cast<int>(byte));
        Document d(text);
        EXPECT_EQ(d.read(), JSON_ERROR_BAD_CHARACTER);
        EXPECT_EQ(d.reader->position, d.buffer + text.find(byte));
    }
}

TEST(DomainInfo, ReadsValuesDefaultsUnknownAndRepeatedFields) {
    Document plain(replaced(replaced(kBaseDocument, ":5,", ":0x10,"), ":7}", ":+7}"));
    ASSERT_EQ(plain.read(), 0u);
    EXPECT_EQ(plain.record->domain_enabled, 1);
    EXPECT_EQ(plain.record->is_main, 0);
    EXPECT_EQ(plain.record->allow_sendmail, 1);
    EXPECT_EQ(plain.record->domain_outgoing_limit, 16);
    EXPECT_EQ(plain.record->subscription_outgoing_limit, 7);

    std::string text = replaced(kBaseDocument, R"("aliases":["example.net"])",
                                R"("aliases":["a.b","c.d"],"enabled":false,"aliases":["e.f"])");
    text = replaced(text, R"("vhost_id":"v1")",
                    "\"zz\":\t\n\v\f\r "
                    R"({"a":[1.5e3,-0.5E+2,-,null,true,{},[],{"b":"\n"}],"name":"x_"},)"
                    R"("is_main":true,"vhost_id":"a\"b\\c\/d\be\ff\ng\rh\ti)"
                    "\xc3\xa9\x7f\xff"
                    R"(\u0000c\n")");
    text = replaced(text, R"(["u1"])", R"(["u1"],"sysusers":[],"allow_sendmail":false)");
    Document d(text);
    ASSERT_EQ(d.read(), 0u);
    const domain_info& r = *d.record;
    EXPECT_EQ(r.domain_enabled, 0);
    EXPECT_EQ(r.is_main, 1);
    EXPECT_EQ(r.allow_sendmail, 0);
    EXPECT_STREQ(r.vhost_id, "a\"b\\c/d\be\ff\ng\rh\ti\xc3\xa9\x7f\xff");
    EXPECT_EQ(r.domain_aliases.count, 1u);
    EXPECT_STREQ(static_cast<const char**>(r.domain_aliases.items)[0], "e.f");
    EXPECT_EQ(r.subscription_sysusers.count, 0u);
}

TEST(DomainInfo, DomainNameRule) {
    const std::string label(63, 'a'), name255 = label + "." + label + "." + label + "." + label;
    for (const std::string& name : {name255, name255.substr(0, 191) + "." + std::string(63, 'b'),
                                    std::string("localhost"), std::string("Ex-4.C0m")}) {
        EXPECT_TRUE(is_valid_domain_name(name.c_str())) << name;
    }
    EXPECT_FALSE(is_valid_domain_name((name255 + "a").c_str()));
    EXPECT_FALSE(is_valid_domain_name((std::string(64, 'a') + ".com").c_str()));
    for (const char* name : {".a.com", "a.com.", "a..com", "-a.com", "a-.com", "a.-com", "a_b.com",
                             "a b.com", "\x80.com", "", static_cast<const char*>(nullptr)}) {
        EXPECT_FALSE(is_valid_domain_name(name)) << (name ? name : "null");
    }
}

// Refuses allocation number failAt; counts the blocks still held.
struct FailingHeap {
    int calls = 0, failAt = 0, live = 0;

    static void* grow(void* context, void* block, std::size_t size) {
        auto& heap = *static_cast<FailingHeap*>(context);
        if (heap.calls++ == heap.failAt) {
            return nullptr;
        }
        heap.live += block == nullptr ? 1 : 0;
        return std::realloc(block, size);
    }
};

TEST(DomainInfo, EveryFailingAllocationGivesCodeTwentyWithoutLeaking) {
    const std::string text =
        replaced(replaced(kBaseDocument, R"("example.net")", R"("example.net","b.c","d.e")"),
                 R"("vhost_id")",
                 "\"deep\":" + std::string(5000, '[') + std::string(5000, ']') + ",\"vhost_id\"");
    for (int failAt = 0;; ++failAt) {
        SCOPED_TRACE(failAt);
        FailingHeap heap{0, failAt, 0};
        const json_allocator allocator{
            &heap, [](void* h, std::size_t size) { return FailingHeap::grow(h, nullptr, size); },
            FailingHeap::grow,
            [](void* h, void* block) {
                static_cast<FailingHeap*>(h)->live -= block == nullptr ? 0 : 1;
                std::free(block);
            }};
        std::uint32_t code = JSON_ERROR_NO_MEMORY; // also when the reader or record is null
        {
            Document d(text, &allocator);
            if (d.record != nullptr) {
                code = d.read();
            }
        }
        EXPECT_TRUE(code == 0 || code == JSON_ERROR_NO_MEMORY) << code;
        EXPECT_EQ(heap.live, 0);
        if (code == 0) {
            EXPECT_GE(failAt, 2 + 3 + 1 + 1 + 4); // reader, record, items, skip stack
            break;
        }
    }
}

// Where a refused document failed: the field's path and, for a missing field, its name.
TEST(DomainInfo, TracesTheFieldOfTheFailure) {
    const struct {
        const char *from, *to, *path, *missing;
    } cases[] = {
        {R"(,"certfile":"f1")", "", "domain.certificates[0]", "certfile"},
        {R"({"type":"reject","arg":""})", "{}", "domain.non_existent", "type"},
        {R"(,"outgoing_limit":7)", "", "subscription", "outgoing_limit"},
        {R"("sysusers":["u1"])", R"("sysusers":["u1",""])", "subscription.sysusers[1]", nullptr},
        {R"(["example.net"])", R"(["example.net","a.b","-c"])", "domain.aliases[2]", nullptr},
        {R"("reject")", R"("discard")", "domain.non_existent.type", nullptr},
        {":5,", R"(:"5",)", "domain.outgoing_limit", nullptr},
        {R"({"domain")", "\xef\xbb\xbf{\"domain\"", "", nullptr},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.to);
        Document document(replaced(kBaseDocument, item.from, item.to));
        domain_info_trace trace{};
        const std::uint32_t code =
            domain_info_read_traced(document.reader, document.record, &trace);
        EXPECT_NE(code, 0u);
        EXPECT_STREQ(trace.path, item.path);
        EXPECT_STREQ(trace.missing ? trace.missing : "(none)",
                     item.missing ? item.missing : "(none)");
        // Same code and position as the untraced reading.
        Document again(replaced(kBaseDocument, item.from, item.to));
        EXPECT_EQ(again.read(), code);
        EXPECT_EQ(again.reader->position - again.buffer,
                  document.reader->position - document.buffer);
    }
    Document valid(kBaseDocument);
    domain_info_trace trace{};
    EXPECT_EQ(domain_info_read_traced(valid.reader, valid.record, &trace), 0u);
    EXPECT_STREQ(trace.path, "");
}

// Readings on two threads at once each trace their own failure, as the audit reads them.
TEST(DomainInfo, TracesOfReadingsOnTwoThreadsStayApart) {
    const auto readMany = [](const std::string& text, const char* path, int* wrong) {
        for (int i = 0; i < 2000; ++i) {
            Document document(text);
            domain_info_trace trace{};
            if (domain_info_read_traced(document.reader, document.record, &trace) == 0 ||
                std::string(trace.path) != path)
                ++*wrong;
        }
    };
    int wrongAliases = 0, wrongUsers = 0;
    const std::string aliases =
        replaced(kBaseDocument, R"(["example.net"])", R"(["example.net","a.b","-c"])");
    std::thread other(readMany, aliases, "domain.aliases[2]", &wrongAliases);
    readMany(replaced(kBaseDocument, R"("sysusers":["u1"])", R"("sysusers":["u1",""])"),
             "subscription.sysusers[1]", &wrongUsers);
    other.join();
    EXPECT_EQ(wrongAliases, 0);
    EXPECT_EQ(wrongUsers, 0);
}

} // namespace corvo_test
