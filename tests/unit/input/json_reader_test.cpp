// The reader's primitives: strings, integers, keywords, skipped values, error texts, every
// prefix of a valid document, and nesting far deeper than the C stack could recurse.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "tests/unit/input/document.h"

using corvo_test::baseDocument;
using corvo_test::Document;

namespace {

std::string errorText(const Document& d) {
    errno = 0;
    return json_error_text(d.reader);
}

TEST(JsonReader, UnescapesStringsInPlaceAndReportsRefusedBytes) {
    struct Case {
        std::string input, value;
        std::uint32_t code;
        std::size_t offset;
    } cases[] = {
        {R"( "a\"b\\c\/d\be\ff\ng\rh\ti")", "a\"b\\c/d\be\ff\ng\rh\ti", 0, 28},
        {"\v\f\"\xc3\xa9\x7f\xff\"", "\xc3\xa9\x7f\xff", 0, 8},
        {R"("ab\u0000c\n" )", "ab", 0, 13},
        {R"("ab\u0041")", "", 10, 3},
        {R"("ab\u00)", "", 10, 3},
        {R"("a\x")", "", 8, 2},
        {R"("a\)", "", 8, 2},
        {"\"a\tb\"", "", 9, 2},
        {"\"a\x1f\"", "", 9, 2},
        {R"(  "abc)", "", 2, 2},
        {"", "", 2, 0},
        {"x\"\"", "", 7, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        Document d(c.input);
        const char* value = json_read_string(d.reader);
        EXPECT_EQ(d.reader->error_code, c.code);
        EXPECT_EQ(d.offset(), c.offset);
        EXPECT_EQ(value == nullptr, c.code != 0);
        if (value != nullptr) {
            EXPECT_EQ(std::string(value), c.value);
        }
    }
}

TEST(JsonReader, ReadsIntegersInBaseZeroAndRefusesFractionsAndRange) {
    struct Case {
        const char* input;
        bool wide;
        std::int64_t value;
        std::uint32_t code;
        std::size_t offset;
    } cases[] = {
        {"0x10,", false, 16, 0, 4},
        {"+7", false, 7, 0, 2},
        {"010", false, 8, 0, 3},
        {" -12,", false, -12, 0, 4},
        {"-2147483648", false, INT32_MIN, 0, 11},
        {"1.5", false, 0, 6, 0},
        {"1e3", false, 0, 6, 0},
        {"1e3", true, 0, 6, 1},
        {"2147483648", false, 0, 5, 0},
        {"9223372036854775807", true, INT64_MAX, 0, 19},
        {"null", false, 0, 4, 0},
        {"\"5\"", true, 0, 4, 0},
        {"-", true, 0, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        Document d(c.input);
        const std::int64_t value = c.wide ? json_read_int64(d.reader) : json_read_int32(d.reader);
        EXPECT_EQ(d.reader->error_code, c.code);
        EXPECT_EQ(d.offset(), c.offset);
        EXPECT_EQ(value, c.value);
    }
}

TEST(JsonReader, ValueBeyondInt64CarriesTheSystemError) {
    Document d(" 9223372036854775808");
    json_read_int64(d.reader);
    EXPECT_EQ(d.reader->error_code, 5u);
    EXPECT_EQ(std::string(json_error_text(d.reader)),
              "Number value is out of range for expected type. Error occured at offset 0, "
              "character ' '. Also system error occured: Numerical result out of range (34).");
}

TEST(JsonReader, SkipsValuesWithTheGrammarsCodes) {
    struct Case {
        const char* input;
        std::uint32_t code;
        std::size_t offset;
    } cases[] = {
        {R"({"a":[1,-,2.5e-3,-0.5E+2,{},[],"s\n",true,null],"b":{}} x)", 0, 55},
        {"truex", 0, 4},
        {"[1,]", 3, 3},
        {R"({"a":1,})", 7, 7},
        {"1.", 6, 0},
        {"-1e+", 6, 0},
        {".5", 3, 0},
        {R"({"a" 1})", 12, 5},
        {"[1 2]", 16, 3},
        {R"({"a":1 "b"})", 13, 7},
        {"tru", 17, 0},
        {"nil", 18, 0},
        {"[\"a", 2, 1},
        {"[[[", 3, 3},
        {"{", 2, 1},
        {"[1,\"\\q\"]", 8, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        Document d(c.input);
        EXPECT_EQ(json_skip_value(d.reader), c.code);
        EXPECT_EQ(d.offset(), c.offset);
    }
}

TEST(JsonReader, ErrorTextNamesCodeOffsetAndCharacter) {
    struct Case {
        const char* input;
        std::uint32_t code; // set by hand when not 0
        const char* argument;
        const char* text;
    } cases[] = {
        {"", 0, nullptr, "JSON object is expected. Error occured at offset 0, character '\\x00'. "},
        {"\xef\xbb\xbf{}", 0, nullptr,
         "JSON object is expected. Error occured at offset 0, character '\\xef'. "},
        {"{}", 0, nullptr, "OK, no error."},
        {"a", 23, "None",
         "Custom JSON value constraint failed: None. Error occured at offset "
         "0, character 'a'. "},
        {"a", 21, nullptr,
         "Encountered an object field \"N/A\" not present in JSON schema. Remove excessive data "
         "from input JSON document or allow skipping unknown fields. Error occured at offset 0, "
         "character 'a'. "},
        {"a", 22, "k",
         "Encountered a duplicate field \"k\" in a JSON object. Remove duplicates from input "
         "JSON document or disable duplicate fields check. Error occured at offset 0, character "
         "'a'. "},
        {"a", 24, nullptr, "unknown error code Error occured at offset 0, character 'a'. "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Document d(c.input);
        if (c.code == 0) {
            json_object_begin(d.reader);
        } else {
            d.reader->error_code = c.code;
            d.reader->error_argument = c.argument;
        }
        EXPECT_EQ(errorText(d), c.text);
    }
    Document d("a");
    const std::string longArgument(2000, 'm');
    d.reader->error_code = JSON_ERROR_CONSTRAINT;
    d.reader->error_argument = longArgument.c_str();
    EXPECT_EQ(errorText(d).size(), 1023u);
}

TEST(JsonReader, NoPrefixOfAValidDocumentIsAccepted) {
    for (std::size_t length = 0; length < baseDocument.size(); ++length) {
        SCOPED_TRACE(length);
        Document d(std::string_view(baseDocument).substr(0, length));
        EXPECT_NE(d.read(), 0u);
        EXPECT_LE(d.offset(), length);
    }
    Document whole(baseDocument);
    EXPECT_EQ(whole.read(), 0u);
}

TEST(JsonReader, SkipsNestingAMillionLevelsDeep) {
    const std::size_t depth = 1000000;
    const std::string rest = baseDocument.substr(1);
    std::string arrays = "{\"x\":" + std::string(depth, '[') + std::string(depth, ']') + "," + rest;
    Document valid(arrays);
    EXPECT_EQ(valid.read(), 0u);

    std::string objects = "{\"x\":";
    for (std::size_t i = 0; i < depth; ++i) {
        objects += "{\"a\":";
    }
    objects += "1" + std::string(depth, '}') + "," + rest;
    Document objectsValid(objects);
    EXPECT_EQ(objectsValid.read(), 0u);

    Document unclosed("{\"x\":" + std::string(depth, '['));
    EXPECT_EQ(unclosed.read(), JSON_ERROR_VALUE_EXPECTED);
    EXPECT_EQ(unclosed.offset(), depth + 5);
}

} // namespace
