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

// A prefix cut inside a string (its closing quote missing) is an unterminated string at its
// opening quote; any other prefix fails at the cut, with the code of what the next byte of the
// whole document would have been read as. The base document holds no escapes and no blanks.
TEST(JsonConformance, EveryPrefixOfAValidDocumentFailsWhereItIsCut) {
    bool inString = false;
    std::size_t quote = 0; // the opening quote of the string around the cut
    std::string open;      // the brackets open at the cut, innermost last
    for (std::size_t length = 0; length < kBaseDocument.size(); ++length) {
        const char next = kBaseDocument[length];
        std::uint32_t code = JSON_ERROR_PREMATURE_END; // a name, a string or an element
        if (next == '{') {
            code = JSON_ERROR_OBJECT_EXPECTED;
        } else if (next == '[') {
            code = JSON_ERROR_ARRAY_EXPECTED;
        } else if (next == ':') {
            code = JSON_ERROR_NAME_SEPARATOR;
        } else if (next >= '0' && next <= '9') {
            code = JSON_ERROR_NUMBER_EXPECTED;
        } else if (next == '}' || (next == ',' && open.back() == '{')) {
            code = JSON_ERROR_OBJECT_SEPARATOR;
        } else if (next == ']' || next == ',') {
            code = JSON_ERROR_ARRAY_SEPARATOR;
        }
        SCOPED_TRACE(kBaseDocument.substr(0, length));
        Document d(std::string_view(kBaseDocument).substr(0, length));
        EXPECT_EQ(d.read(), inString ? JSON_ERROR_PREMATURE_END : code);
        EXPECT_EQ(static_cast<std::size_t>(d.reader->position - d.buffer),
                  inString ? quote : length);

        if (next == '"') {
            quote = inString ? quote : length;
            inString = !inString;
        } else if (!inString && (next == '{' || next == '[')) {
            open += next;
        } else if (!inString && (next == '}' || next == ']')) {
            open.pop_back();
        }
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
