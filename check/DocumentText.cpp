// A scanner of JSON's structure alone: strings, objects, arrays and the extent of other
// values, with the path of each member as the check names fields.
#include "check/DocumentText.hpp"

#include "check/Encoding.hpp"

#include <set>

namespace corvo::check {
namespace {

class Scanner {
public:
    explicit Scanner(const std::string& text) : text_(text.substr(0, text.find('\0'))) {}

    std::vector<Trap> traps() {
        skipBlanks();
        if (!value(""))
            return traps_;
        skipBlanks();
        if (at_ < text_.size())
            traps_.push_back({"(the document itself)",
                              std::to_string(text_.size() - at_) +
                                  " bytes after the document, which the reader ignores: " +
                                  visible(text_.substr(at_, 40)) +
                                  (text_.size() - at_ > 40 ? "..." : ""),
                              "the document alone", Severity::Warning});
        return traps_;
    }

private:
    void skipBlanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }

    bool take(char expected) {
        skipBlanks();
        if (at_ < text_.size() && text_[at_] == expected) {
            ++at_;
            return true;
        }
        return false;
    }

    // A string at the current place, its raw text between the quotes.
    bool string(std::string& raw) {
        if (!take('"'))
            return false;
        const std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] != '"')
            at_ += text_[at_] == '\\' ? 2u : 1u;
        if (at_ >= text_.size())
            return false;
        raw = text_.substr(start, at_ - start);
        ++at_;
        return true;
    }

    bool value(const std::string& path) {
        skipBlanks();
        if (at_ >= text_.size())
            return false;
        std::string ignored;
        switch (text_[at_]) {
        case '{':
            return object(path);
        case '[':
            return array(path);
        case '"':
            return string(ignored);
        default:
            break;
        }
        const std::size_t start = at_;
        while (at_ < text_.size() &&
               std::string(",}] \t\r\n").find(text_[at_]) == std::string::npos)
            ++at_;
        return at_ > start;
    }

    bool object(const std::string& path) {
        ++at_;
        if (take('}'))
            return true;
        std::set<std::string> names;
        do {
            std::string name;
            if (!string(name) || !take(':'))
                return false;
            const std::string field = path.empty() ? name : path + "." + name;
            if (!names.insert(name).second)
                traps_.push_back({visible(field),
                                  "the member is given twice: the reader keeps the last one "
                                  "and drops the first without a word",
                                  "each member once", Severity::Warning});
            if (!value(field))
                return false;
        } while (take(','));
        return take('}');
    }

    bool array(const std::string& path) {
        ++at_;
        if (take(']'))
            return true;
        std::size_t index = 0;
        do {
            if (!value(path + "[" + std::to_string(index++) + "]"))
                return false;
        } while (take(','));
        return take(']');
    }

    const std::string text_;
    std::size_t at_ = 0;
    std::vector<Trap> traps_;
};

} // namespace

std::vector<Trap> documentTextTraps(const std::string& text) {
    return Scanner(text).traps();
}

} // namespace corvo::check
