// The reader's grammar over whole documents: the public JSON parsing corpus as an unknown
// field's value (counts of docs/JSON_CONFORMANCE.md), prefixes, a million levels of nesting.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "tests/unit/input/document.h"

namespace corvo_test {

TEST(JsonConformance, CorpusOutcomesMatchTheRecordedGrammar) {
    const std::filesystem::path directory(CORVO_SOURCE_DIR
                                          "/tests/data/jsontestsuite/test_parsing");
    ASSERT_TRUE(std::filesystem::is_directory(directory)) << "corpus missing: " << directory;
    std::map<std::string, int> counts; // "y accepted", "n refused", ...
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string bytes(std::istreambuf_iterator<char>(file), {});
        Document d("{\"x\":" + std::string(bytes.c_str()) + "," + kBaseDocument.substr(1));
        ++counts[entry.path().filename().string().substr(0, 1) +
                 (d.read() == 0 ? " accepted" : " refused")];
    }
    const std::map<std::string, int> expected = {
        {"y accepted", 72}, {"y refused", 23},  {"n accepted", 7},
        {"n refused", 181}, {"i accepted", 21}, {"i refused", 14},
    };
    EXPECT_EQ(counts, expected);
}

TEST(JsonConformance, NoPrefixOfAValidDocumentIsAccepted) {
    for (std::size_t length = 0; length < kBaseDocument.size(); ++length) {
        SCOPED_TRACE(length);
        Document d(std::string_view(kBaseDocument).substr(0, length));
        EXPECT_NE(d.read(), 0u);
        EXPECT_LE(d.reader->position, d.buffer + length);
    }
}

TEST(JsonConformance, SkipsAFieldNestedAMillionLevelsDeep) {
    std::string open, close;
    for (int i = 0; i < 500000; ++i) {
        open += "[{\"a\":";
        close += "}]";
    }
    Document valid("{\"x\":" + open + "1" + close + "," + kBaseDocument.substr(1));
    EXPECT_EQ(valid.read(), 0u);
    Document unclosed("{\"x\":" + std::string(1000000, '['));
    EXPECT_EQ(unclosed.read(), JSON_ERROR_VALUE_EXPECTED);
    EXPECT_EQ(unclosed.reader->position, unclosed.buffer + 1000005);
}

} // namespace corvo_test
