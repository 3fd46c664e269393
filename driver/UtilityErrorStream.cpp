// The utility error stream: no put area, so every character reaches overflow(), which
// echoes it to standard error and keeps a copy for standard output.
#include "driver/UtilityErrorStream.hpp"

#include <iostream>

namespace corvo {

UtilityErrorStreamBuf::~UtilityErrorStreamBuf() {
    sync();
}

UtilityErrorStreamBuf::int_type UtilityErrorStreamBuf::overflow(int_type character) {
    if (traits_type::eq_int_type(character, traits_type::eof()))
        return character;
    const char byte = traits_type::to_char_type(character);
    std::cerr.put(byte);
    pending_.push_back(byte);
    return character;
}

int UtilityErrorStreamBuf::sync() {
    std::cerr.flush();
    std::cout << pending_;
    std::cout.flush();
    pending_.clear();
    return 0;
}

// The base is given the buffer before the member is constructed; std::ostream only stores
// the pointer, and nothing is written before construction ends.
UtilityErrorStream::UtilityErrorStream() : std::ostream(&buffer_) {}

UtilityErrorStream utilityErrorStream;

} // namespace corvo
