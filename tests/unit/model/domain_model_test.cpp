// Conversion of the domain_info record into the domain model. Names lowered (bytes above ASCII
// kept: the base tests), sysusers and the policy argument kept, each certificate with its last
// path, all run by the plan's test (driver) and end to end (policy-bounce, every input).
#include <gtest/gtest.h>

#include <stdexcept>

#include "driver/model/DomainInfo.hpp"

namespace corvo {
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
