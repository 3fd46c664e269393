// The header-only helpers: ASCII classes and case, repeating an interrupted call.
#include "lib/base/ascii.h"
#include "lib/base/eintr.h"

#include <gtest/gtest.h>

namespace {

TEST(Ascii, ClassesAndCaseAreTheSameForEveryByte) {
    for (int value = 0; value < 256; ++value) {
        SCOPED_TRACE(value);
        const char c = static_cast<char>(value);
        const bool letter = value >= 'A' && value <= 'Z';
        EXPECT_EQ(ascii_lower(c), letter ? static_cast<char>(value + 32) : c);
        EXPECT_EQ(ascii_is_blank(c), value == ' ' || (value >= '\t' && value <= '\r'));
    }
    EXPECT_EQ(ascii_lower_cased("Ex\xC3\x89MPLE.com"), "ex\xC3\x89mple.com");
}

TEST(RetryEintr, RepeatsOnlyWhileInterrupted) {
    struct Case {
        int failures;    // runs that fail with EINTR first
        int last_errno;  // errno of the last run when it fails
        int last_result; // what the last run returns
    } cases[] = {{0, 0, 7}, {3, 0, 0}, {2, EAGAIN, -1}, {0, EPERM, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failures);
        int runs = 0;
        const int result = retry_eintr([&] {
            ++runs;
            errno = runs <= c.failures ? EINTR : c.last_errno;
            return runs <= c.failures ? -1 : c.last_result;
        });
        EXPECT_EQ(runs, c.failures + 1);
        EXPECT_EQ(result, c.last_result);
        if (result < 0) {
            EXPECT_EQ(errno, c.last_errno);
        }
    }
}

} // namespace
