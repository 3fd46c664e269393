// Escapes byte by byte; every byte of the input shows in the output, as itself or escaped.
#include "check/Encoding.hpp"

#include "lib/base/ascii.h"

#include <algorithm>
#include <cstdio>

namespace corvo::check {
namespace {

// A byte as a prefix ("\\x", "\\u00") and two hexadecimal digits.
std::string hexEscape(const char* prefix, unsigned char byte) {
    static const char digits[] = "0123456789abcdef";
    return std::string(prefix) + digits[byte >> 4] + digits[byte & 15];
}

// A byte as a backslash and three octal digits, as printf's format reads it.
std::string octalEscape(unsigned char byte) {
    return {'\\', static_cast<char>('0' + (byte >> 6)), static_cast<char>('0' + ((byte >> 3) & 7)),
            static_cast<char>('0' + (byte & 7))};
}

bool printableAscii(unsigned char byte) {
    return byte >= 0x20 && byte < 0x7f;
}

// Control and non-ASCII bytes as escapes; with `quote`, that character and the backslash
// are escaped too, so that the text can be read back exactly.
std::string escaped(const std::string& text, std::optional<char> quote) {
    std::string out;
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (quote && (character == *quote || character == '\\')) {
            out += '\\';
            out += character;
        } else if (character == '\n') {
            out += "\\n";
        } else if (character == '\t') {
            out += "\\t";
        } else {
            out += printableAscii(byte) ? std::string(1, character) : hexEscape("\\x", byte);
        }
    }
    return out;
}

} // namespace

std::string quotedArgument(const std::string& argument) {
    return "'" + escaped(argument, '\'') + "'";
}

namespace {

// One byte as printf's format gives it back.
std::string formatPiece(char character) {
    const auto byte = static_cast<unsigned char>(character);
    if (character == '\\' || character == '%')
        return std::string(2, character);
    if (character == '\'')
        return "'\\''";
    if (character == '\n')
        return "\\n";
    return printableAscii(byte) ? std::string(1, character) : octalEscape(byte);
}

} // namespace

std::string printfFormat(const std::string& text) {
    std::string out;
    for (const char character : text)
        out += formatPiece(character);
    return out;
}

std::string shellWord(const std::string& word) {
    const bool printable = std::all_of(word.begin(), word.end(), [](char character) {
        const auto byte = static_cast<unsigned char>(character);
        return byte >= 0x20 && byte < 0x7f;
    });
    if (!printable)
        return "\"$(printf '" + printfFormat(word) + "')\"";
    std::string out = "'";
    for (const char character : word)
        out += character == '\'' ? std::string("'\\''") : std::string(1, character);
    return out + "'";
}

std::string visible(const std::string& text) {
    if (text.empty() || ascii_is_blank(text.front()) || ascii_is_blank(text.back()))
        return quotedArgument(text);
    return escaped(text, std::nullopt);
}

std::string json(const std::string& text) {
    std::string out = "\"";
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (character == '"' || character == '\\')
            out += std::string("\\") + character;
        else
            out += printableAscii(byte) ? std::string(1, character) : hexEscape("\\u00", byte);
    }
    return out + "\"";
}

std::string json(const std::optional<std::string>& text) {
    return text ? json(*text) : "null";
}

std::string json(const std::vector<std::string>& items) {
    std::string out = "[";
    for (const std::string& item : items)
        out += (out.size() > 1 ? "," : "") + json(item);
    return out + "]";
}

std::string json(bool flag) {
    return flag ? "true" : "false";
}

} // namespace corvo::check
