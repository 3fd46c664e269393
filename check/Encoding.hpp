// Escaping and JSON encoding for the check's reports. Names, values and arguments come from
// the document and the tables and may hold any byte: the text report escapes control and
// non-ASCII bytes so that every finding stays on one line, and a JSON string escapes the
// quote, the backslash and every byte outside printable ASCII, so that it is valid UTF-8
// whatever the bytes were. The plan's shell words and printf formats give the exact bytes
// back when pasted into sh. Builds on nothing of the project but lib/base.
// Nothing here fails but allocation and, for jsonArray, the stream.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace corvo::check {

// A text in single quotes, as the stand-ins' call log writes an argument, with backslash escapes
// for quote, backslash, line feed, tab and other control or non-ASCII bytes (\xHH).
std::string quotedArgument(const std::string& argument);

// A text for reading only: escapes as quotedArgument's, backslashes as they are, and quotes
// only when the text is empty or has a blank at an end, so that those show.
std::string visible(const std::string& text);
// visible(text), appended to out.
void appendVisible(std::string& out, std::string_view text);

// A word for sh: in single quotes, a quote written as '\''; a word with a byte outside
// printable ASCII becomes "$(printf 'FORMAT')", so that the pasted line stays printable
// (the shell drops line feeds at the end of such a word; no argument of a plan ends in one).
std::string shellWord(const std::string& word);

// A printf(1) format that prints exactly text: backslash and percent doubled, a line feed as
// \n, every other byte outside printable ASCII as a three-digit octal escape, and the single
// quote closed and reopened as for shellWord, so that the format goes inside single quotes.
std::string printfFormat(const std::string& text);

// JSON values: a string (quote and backslash escaped, every byte outside printable ASCII as
// \u00XX, a byte at 0x80 or above taken as the code point of that value), a string or
// null, an array of strings, true or false.
std::string json(const std::string& text);
std::string json(const std::optional<std::string>& text);
std::string json(const std::vector<std::string>& items);
std::string json(bool flag);

// Writes a JSON array of items, each written by write(item).
template <class Item, class Write>
void jsonArray(std::ostream& out, const std::vector<Item>& items, Write write) {
    out << '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
        out << (i ? "," : "");
        write(items[i]);
    }
    out << ']';
}

} // namespace corvo::check
