// ASCII classes and case of bytes, the same under every locale.
//
// The tool's texts (domain names, account names, configuration lines) are bytes: only the
// 26 ASCII letters have a case, and a blank is one of the six ASCII white-space bytes.
// Bytes from 0x80 up are neither letters nor blanks and never change.
//
// DIAGNOSTICS: ascii_lower_cased raises std::bad_alloc when its copy cannot be allocated;
// the rest cannot fail.
#pragma once

#include <string>

// ' ', '\t', '\n', '\v', '\f' or '\r'.
constexpr bool ascii_is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// 'A' to 'Z' become 'a' to 'z'; every other byte stays.
constexpr char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// text with ascii_lower applied to each byte; as long as text.
inline std::string ascii_lower_cased(std::string text) {
    for (char& c : text) {
        c = ascii_lower(c);
    }
    return text;
}
