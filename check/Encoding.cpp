// Escapes byte by byte; every byte of the input shows in the output, as itself or escaped.
#include "check/Encoding.hpp"

#include "lib/base/ascii.h"

#include <cstdio>

namespace corvo::check {
namespace {

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
        } else if (byte < 0x20 || byte >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += character;
        }
    }
    return out;
}

} // namespace

std::string quotedArgument(const std::string& argument) {
    return "'" + escaped(argument, '\'') + "'";
}

std::string visible(const std::string& text) {
    if (text.empty() || ascii_is_blank(text.front()) || ascii_is_blank(text.back()))
        return quotedArgument(text);
    return escaped(text, std::nullopt);
}

std::string shellWord(const std::string& text) {
    std::string out = "'";
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (character == '\'') {
            out += "'\\''";
        } else if ((byte < 0x20 && character != '\n') || byte == 0x7f) {
            // Outside the quotes, from printf: a command substitution keeps every byte but
            // a trailing line feed, so a line feed alone stays as it is, quoted.
            char octal[32];
            std::snprintf(octal, sizeof octal, "'\"$(printf '\\%03o')\"'", byte);
            out += octal;
        } else {
            out += character;
        }
    }
    return out + "'";
}

std::string json(const std::string& text) {
    std::string out = "\"";
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (character == '"' || character == '\\') {
            out += '\\';
            out += character;
        } else if (byte < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", byte);
            out += hex;
        } else {
            out += character;
        }
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
