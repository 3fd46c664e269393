// Quotes NUL-separated arguments into a command line and reads it back the way a POSIX
// shell splits words (blanks, backslashes, single quotes, nothing else special); the words
// must be the arguments, byte for byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/process/lib/CmdLine.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i)
        data[i] ? arguments.back() += static_cast<char>(data[i]) : arguments.emplace_back();
    corvo::CmdLine line(arguments[0]);
    for (std::size_t i = 1; i < arguments.size(); ++i)
        line.add(arguments[i]);
    const std::string text = line.commandLineText();
    std::vector<std::string> words(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ')
            words.emplace_back();
        else if (c == '\\' && i + 1 < text.size() && text[i + 1] != '\n')
            words.back() += text[++i];
        else if (c == '\'' && text.find('\'', i + 1) != std::string::npos)
            for (++i; text[i] != '\''; ++i)
                words.back() += text[i];
        else if (c == '\'' || c == '\\' || std::strchr("\t\n\"#$&()*;<>?[`|~", c))
            std::abort(); // unquoted, the shell would read it otherwise
        else
            words.back() += c;
    }
    if (words != arguments)
        std::abort();
    return 0;
}
