// The program-wide utility error stream: text written to it reaches standard error at
// once, character by character, and standard output again, as one block, at each flush
// (and at normal exit for whatever was not flushed). It is the only way the entry writes
// to standard output.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

namespace corvo {

class UtilityErrorStreamBuf : public std::streambuf {
public:
    UtilityErrorStreamBuf() = default;
    UtilityErrorStreamBuf(const UtilityErrorStreamBuf&) = delete;
    UtilityErrorStreamBuf& operator=(const UtilityErrorStreamBuf&) = delete;
    // Does what sync does; a failure here terminates the process.
    ~UtilityErrorStreamBuf() override;

protected:
    int_type overflow(int_type character) override;
    int sync() override;

private:
    std::string pending_;
};

class UtilityErrorStream : public std::ostream {
public:
    UtilityErrorStream();

private:
    UtilityErrorStreamBuf buffer_;
};

// The one instance, constructed during static initialisation.
extern UtilityErrorStream utilityErrorStream;

} // namespace corvo
