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
// are escaped too, so that the text can be read back exactly. Runs of bytes that need no
// escape are appended whole.
void appendEscaped(std::string& out, std::string_view text, std::optional<char> quote) {
    static const char digits[] = "0123456789abcdef";
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char character = text[i];
        const auto byte = static_cast<unsigned char>(character);
        const bool quoted = quote && (character == *quote || character == '\\');
        if (!quoted && printableAscii(byte))
            continue;
        out.append(text, plain, i - plain);
        plain = i + 1;
        if (quoted) {
            out += '\\';
            out += character;
        } else if (character == '\n') {
            out += "\\n";
        } else if (character == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 15];
        }
    }
    out.append(text, plain);
}

std::string escaped(const std::string& text, std::optional<char> quote) {
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text, quote);
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

void appendVisible(std::string& out, std::string_view text) {
    if (text.empty() || ascii_is_blank(text.front()) || ascii_is_blank(text.back())) {
        out += '\'';
        appendEscaped(out, text, '\'');
        out += '\'';
        return;
    }
    appendEscaped(out, text, std::nullopt);
}

std::string visible(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    appendVisible(out, text);
    return out;
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
