// Escaping and JSON encoding for the check's reports. Names, values and arguments come from
// the document and the tables and may hold any byte: the text report escapes control and
// non-ASCII bytes so that every finding stays on one line, and a JSON string escapes the
// quote, the backslash and control bytes. Builds on nothing of the project but lib/base.
// Nothing here fails but allocation and, for jsonArray, the stream.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace corvo::check {

// A program argument as the plan shows it: in single quotes, with backslash escapes for
// quote, backslash, line feed, tab and other control or non-ASCII bytes (\xHH).
std::string quotedArgument(const std::string& argument);

// A text for reading only: escapes as quotedArgument's, backslashes as they are, and quotes
// only when the text is empty or has a blank at an end, so that those show.
std::string visible(const std::string& text);

// A word that any POSIX shell reads back as the text itself: in single quotes, a quote as
// '\'', and a control byte other than the line feed from printf's octal escape, so that no
// line carries it raw.
std::string shellWord(const std::string& text);

// JSON values: a string (quote, backslash and control bytes escaped, other bytes as they
// are), a string or null, an array of strings, true or false.
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
