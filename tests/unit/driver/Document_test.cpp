// Reading the document. The scenarios feed every kind of standard input; what they cannot
// set up is a system error left in errno before the read, which the reader's text would name.
#include "driver/Document.hpp"
#include "tests/support/ForkedChild.hpp"

namespace {

// The reader's text for a refused document on standard input, errno set to `left` first.
std::string refusalWithErrnoLeft(int left) {
    return runInChild([=] {
               FILE* input = std::tmpfile();
               std::fputs("{\"domain\":", input);
               std::rewind(input);
               dup2(fileno(input), STDIN_FILENO);
               errno = left;
               std::string text;
               return corvo::readDomainModel(text) ? std::string("read") : text;
           })
        .answer;
}

TEST(Document, RefusalDoesNotNameAnEarlierSystemError) {
    const std::string clean = refusalWithErrnoLeft(0);
    EXPECT_NE(clean.find("Error occured at offset"), std::string::npos) << clean;
    EXPECT_EQ(refusalWithErrnoLeft(ENOENT), clean);
}

} // namespace
