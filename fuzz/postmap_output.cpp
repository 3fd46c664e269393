// Judges any byte string as postmap's standard error; the verdict must not depend on
// anything but its lines, so judging it line by line agrees with judging it whole.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "postfix/database/Postmap.hpp"

using corvo::mail::postfix::database::postmapOutputIsClean;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    bool eachClean = true;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = text.find('\n', start);
        eachClean = postmapOutputIsClean(text.substr(start, end - start)) && eachClean;
        start = end == std::string::npos ? text.size() + 1 : end + 1;
    }
    if (postmapOutputIsClean(text) != eachClean)
        std::abort();
    return 0;
}
