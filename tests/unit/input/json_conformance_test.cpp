// The reader against a public corpus of JSON parsing cases (y_: must accept, n_: must
// refuse, i_: either). Each file's bytes, cut at the first NUL as the entry cuts its input,
// stand as the value of an unknown field of an otherwise valid domain document. The counts
// are a golden record of this reader's grammar (see docs/JSON_CONFORMANCE.md): a change in
// them is a change in what the tool accepts.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tests/unit/input/document.h"

using corvo_test::baseDocument;
using corvo_test::Document;

namespace {

TEST(JsonConformance, CorpusOutcomesMatchTheRecordedGrammar) {
    const std::filesystem::path directory(CORVO_SOURCE_DIR "/../shared/jsontestsuite/test_parsing");
    if (!std::filesystem::is_directory(directory)) {
        GTEST_SKIP() << "corpus not present: " << directory;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());

    std::map<std::string, int> counts; // "y accepted", "n refused", ...
    std::string report;                // verdicts that are not the corpus's own
    for (const auto& path : files) {
        std::ifstream file(path, std::ios::binary);
        std::string bytes(std::istreambuf_iterator<char>(file), {});
        bytes.resize(std::min(bytes.size(), bytes.find('\0')));
        Document d("{\"x\":" + bytes + "," + baseDocument.substr(1));
        const bool accepted = d.read() == 0;
        const std::string name = path.filename().string();
        const char kind = name[0];
        ++counts[std::string(1, kind) + (accepted ? " accepted" : " refused")];
        if ((kind == 'y' && !accepted) || (kind == 'n' && accepted) || kind == 'i') {
            report += name + (accepted ? " accepted" : " refused") + " code " +
                      std::to_string(d.reader->error_code) + "\n";
        }
    }
    const std::map<std::string, int> expected = {
        {"y accepted", 72}, {"y refused", 23},  {"n accepted", 7},
        {"n refused", 181}, {"i accepted", 21}, {"i refused", 14},
    };
    for (const auto& [outcome, count] : expected) {
        EXPECT_EQ(counts[outcome], count) << outcome << "\n" << report;
    }
}

} // namespace
