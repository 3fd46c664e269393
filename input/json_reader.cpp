// In-place JSON reader: the primitives a schema binding calls in document order.
//
// Guarantees: no byte past the terminating NUL is ever read; strings are unescaped inside
// the buffer; skipping a value uses no C-stack recursion, whatever the nesting depth.
//
// DIAGNOSTICS: failures are codes in the reader with the position of the offending byte;
// json_error_text renders them. errno is cleared before an integer conversion so that an
// out-of-range value leaves ERANGE for the error text to report.
#include "input/json_reader.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void* heap_allocate(void* /*context*/, std::size_t size) {
    return std::malloc(size);
}
void* heap_reallocate(void* /*context*/, void* block, std::size_t size) {
    return std::realloc(block, size);
}
void heap_release(void* /*context*/, void* block) {
    std::free(block);
}

std::uint32_t fail(json_reader* reader, json_error code) {
    reader->error_code = code;
    return code;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Open containers of a skipped value, one bit each (1 = object). The first 512 levels live
// in the frame; deeper nesting moves the bits to a block from the reader's allocator, so an
// ordinary document skips without allocating.
class skip_stack {
public:
    explicit skip_stack(json_reader* reader) : reader_(reader) {}
    ~skip_stack() {
        if (bits_ != inline_bits_) {
            reader_->allocator.release(reader_->allocator.context, bits_);
        }
    }
    skip_stack(const skip_stack&) = delete;
    skip_stack& operator=(const skip_stack&) = delete;

    bool push(bool object) {
        if (depth_ == bytes_ * CHAR_BIT && !grow()) {
            return false;
        }
        const unsigned mask = 1U << (depth_ % CHAR_BIT);
        unsigned char& byte = bits_[depth_ / CHAR_BIT];
        const unsigned bits = byte;
        byte = static_cast<unsigned char>(object ? (bits | mask) : (bits & ~mask));
        ++depth_;
        return true;
    }
    void pop() { --depth_; }
    [[nodiscard]] bool empty() const { return depth_ == 0; }
    [[nodiscard]] bool top_is_object() const {
        const std::size_t top = depth_ - 1;
        const unsigned bits = bits_[top / CHAR_BIT];
        return ((bits >> (top % CHAR_BIT)) & 1U) != 0;
    }

private:
    bool grow() {
        const std::size_t bytes = bytes_ * 2;
        const json_allocator& a = reader_->allocator;
        void* block = nullptr;
        if (bits_ == inline_bits_) {
            block = a.allocate(a.context, bytes);
            if (block != nullptr) {
                std::memcpy(block, inline_bits_, bytes_);
            }
        } else {
            block = a.reallocate(a.context, bits_, bytes);
        }
        if (block == nullptr) {
            return false;
        }
        bits_ = static_cast<unsigned char*>(block);
        bytes_ = bytes;
        return true;
    }

    json_reader* reader_;
    unsigned char inline_bits_[64] = {};
    unsigned char* bits_ = inline_bits_;
    std::size_t bytes_ = sizeof inline_bits_;
    std::size_t depth_ = 0;
};

// Skips a value that is not a container, by its first byte (white space already skipped).
std::uint32_t skip_scalar(json_reader* reader) {
    const char c = *reader->position;
    if (c == 't' || c == 'f') {
        json_read_bool(reader);
    } else if (c == 'n') {
        json_read_null(reader);
    } else if (c == '"') {
        json_read_string(reader);
    } else if (c == '-' || is_digit(c)) {
        json_skip_number(reader);
    } else {
        fail(reader, JSON_ERROR_VALUE_EXPECTED);
    }
    return reader->error_code;
}

// The skipping machine. It walks the same grammar, in the same order and with the same
// codes and positions, as the recursive description "an object is '{', an empty check, then
// name, value and separator until the end; an array likewise", with the recursion replaced
// by the explicit stack of open containers.
std::uint32_t skip_any(json_reader* reader) {
    enum class expect { value, field, separator };
    skip_stack open(reader);
    expect next = expect::value;
    for (;;) {
        if (next == expect::value) {
            json_skip_space(reader);
            char* const start = reader->position;
            if (*start != '{' && *start != '[') {
                if (skip_scalar(reader) != 0) {
                    break;
                }
                next = expect::separator;
                continue;
            }
            const bool object = *start == '{';
            ++reader->position;
            if ((object ? json_object_try_end(reader) : json_array_try_end(reader)) != 0) {
                next = expect::separator;
                continue;
            }
            if (!open.push(object)) {
                reader->position = start;
                fail(reader, JSON_ERROR_NO_MEMORY);
                break;
            }
            next = object ? expect::field : expect::value;
        } else if (next == expect::field) {
            json_object_field_name(reader);
            if (reader->error_code != 0) {
                break;
            }
            next = expect::value;
        } else {
            if (open.empty()) {
                break;
            }
            const bool object = open.top_is_object();
            const int ended = object ? json_object_next(reader) : json_array_next(reader);
            if (reader->error_code != 0) {
                break;
            }
            if (ended == 1) {
                open.pop();
            } else {
                next = object ? expect::field : expect::value;
            }
        }
    }
    return reader->error_code;
}

// Appends printf-style text to the static error buffer, cutting it at the buffer's end.
// NOLINTBEGIN(cert-dcl50-cpp): printf-style, checked by the format attribute.
void append(char* buffer, std::size_t size, std::size_t& used, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void append(char* buffer, std::size_t size, std::size_t& used, const char* format, ...) {
    if (used + 1 >= size) {
        return;
    }
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(buffer + used, size - used, format, args);
    va_end(args);
    if (written > 0) {
        used += static_cast<std::size_t>(written);
        if (used > size - 1) {
            used = size - 1;
        }
    }
}
// NOLINTEND(cert-dcl50-cpp)

// NOLINTBEGIN(bugprone-suspicious-missing-comma): long texts are split over lines.
const char* const error_texts[] = {
    "OK, no error.",
    "JSON array or object has ended.",
    "JSON document has ended prematurely. Check that all strings are properly ended.",
    "Any value is expected, but was not found.",
    "Number is expected.",
    "Number value is out of range for expected type.",
    "Invalid or unsupported number format. Check that there are no floating point numbers.",
    "String is expected.",
    "Invalid escape sequence found in string.",
    "Invalid character found in string. Check that strings do not contain control "
    "characters.",
    "Invalid or unsupported Unicode character or escape sequence found in string. UTF8 "
    "encoded characters and '\\u' escape sequences are not supported.",
    "JSON object is expected.",
    "JSON name separator (':') is expected inside an object.",
    "JSON value separator (',') or end of object is expected.",
    "Some required fields are missing from the JSON object. Check that input JSON document "
    "conforms to schema.",
    "JSON array is expected.",
    "JSON value separator (',') or end of array is expected.",
    "Boolean value is expected.",
    "'null' is expected.",
    "'null' is unexpected in this context. Check that input JSON document conforms to "
    "schema.",
    "Failed to allocate memory.",
};
// NOLINTEND(bugprone-suspicious-missing-comma)

} // namespace

const json_allocator json_default_allocator = {nullptr, heap_allocate, heap_reallocate,
                                               heap_release};

json_reader* json_reader_create(char* text, const json_allocator* allocator) {
    if (text == nullptr) {
        return nullptr;
    }
    const json_allocator& a = allocator != nullptr ? *allocator : json_default_allocator;
    auto* reader = static_cast<json_reader*>(a.allocate(a.context, sizeof(json_reader)));
    if (reader == nullptr) {
        return nullptr;
    }
    reader->text_start = text;
    reader->position = text;
    reader->error_argument = nullptr;
    reader->error_code = JSON_OK;
    reader->allocator = a;
    return reader;
}

void json_reader_release(json_reader* reader) {
    if (reader != nullptr) {
        const json_allocator a = reader->allocator;
        a.release(a.context, reader);
    }
}

const char* json_error_text(const json_reader* reader) {
    // One buffer per thread: readers on other threads do not overwrite it.
    thread_local char buffer[1024];
    const int system_error = errno;
    std::size_t used = 0;
    buffer[0] = '\0';
    const std::uint32_t code = reader->error_code;
    if (code == JSON_OK) {
        append(buffer, sizeof buffer, used, "%s", error_texts[0]);
        return buffer;
    }
    const char* argument = reader->error_argument != nullptr ? reader->error_argument : "N/A";
    if (code < JSON_ERROR_UNKNOWN_FIELD) {
        append(buffer, sizeof buffer, used, "%s", error_texts[code]);
    } else if (code == JSON_ERROR_UNKNOWN_FIELD) {
        append(buffer, sizeof buffer, used,
               "Encountered an object field \"%s\" not present in JSON schema. Remove "
               "excessive data from input JSON document or allow skipping unknown fields.",
               argument);
    } else if (code == JSON_ERROR_DUPLICATE_FIELD) {
        append(buffer, sizeof buffer, used,
               "Encountered a duplicate field \"%s\" in a JSON object. Remove duplicates from "
               "input JSON document or disable duplicate fields check.",
               argument);
    } else if (code == JSON_ERROR_CONSTRAINT) {
        append(buffer, sizeof buffer, used, "Custom JSON value constraint failed: %s.", argument);
    } else {
        append(buffer, sizeof buffer, used, "unknown error code");
    }
    // "occured" and the blank after the final full stop are part of the tool's output: keep.
    append(buffer, sizeof buffer, used, " Error occured at offset %zu",
           static_cast<std::size_t>(reader->position - reader->text_start));
    const auto c = static_cast<unsigned char>(*reader->position);
    if (c >= 0x20 && c <= 0x7E) {
        append(buffer, sizeof buffer, used, ", character '%c'. ", c);
    } else {
        append(buffer, sizeof buffer, used, ", character '\\x%.02x'. ", static_cast<unsigned>(c));
    }
    if (system_error != 0) {
        // "occured" is part of the tool's output: keep.
        append(buffer, sizeof buffer, used, "Also system error occured: %s (%d).",
               std::strerror(system_error), system_error);
    }
    return buffer;
}

void json_skip_space(json_reader* reader) {
    for (;;) {
        switch (*reader->position) {
        case ' ':
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
            ++reader->position;
            break;
        default:
            return;
        }
    }
}

// The container primitives differ only in their bytes and codes: each skips white space
// first, then opens, closes, or separates.
namespace {

std::uint32_t expect_open(json_reader* reader, char open, json_error code) {
    json_skip_space(reader);
    if (*reader->position != open) {
        return fail(reader, code);
    }
    ++reader->position;
    return JSON_OK;
}

int try_close(json_reader* reader, char close) {
    json_skip_space(reader);
    if (*reader->position != close) {
        return 0;
    }
    ++reader->position;
    return 1;
}

// 0 after ',', 1 after close, the code otherwise.
int next_or_close(json_reader* reader, char close, json_error code) {
    json_skip_space(reader);
    const char c = *reader->position;
    if (c == ',' || c == close) {
        ++reader->position;
        return c == close ? 1 : 0;
    }
    return static_cast<int>(fail(reader, code));
}

} // namespace

std::uint32_t json_object_begin(json_reader* reader) {
    return expect_open(reader, '{', JSON_ERROR_OBJECT_EXPECTED);
}

int json_object_try_end(json_reader* reader) {
    return try_close(reader, '}');
}

char* json_object_field_name(json_reader* reader) {
    char* name = json_read_string(reader);
    if (name == nullptr) {
        return nullptr;
    }
    json_skip_space(reader);
    if (*reader->position != ':') {
        fail(reader, JSON_ERROR_NAME_SEPARATOR);
        return name;
    }
    ++reader->position;
    return name;
}

int json_object_next(json_reader* reader) {
    return next_or_close(reader, '}', JSON_ERROR_OBJECT_SEPARATOR);
}

std::uint32_t json_array_begin(json_reader* reader) {
    return expect_open(reader, '[', JSON_ERROR_ARRAY_EXPECTED);
}

int json_array_try_end(json_reader* reader) {
    return try_close(reader, ']');
}

int json_array_next(json_reader* reader) {
    return next_or_close(reader, ']', JSON_ERROR_ARRAY_SEPARATOR);
}

char* json_read_string(json_reader* reader) {
    json_skip_space(reader);
    char* const quote = reader->position;
    if (*quote != '"') {
        fail(reader, *quote == '\0' ? JSON_ERROR_PREMATURE_END : JSON_ERROR_STRING_EXPECTED);
        return nullptr;
    }
    char* const value = quote + 1;
    char* out = value;
    char* in = value;
    for (;;) {
        const auto c = static_cast<unsigned char>(*in);
        if (c == '\0') {
            fail(reader, JSON_ERROR_PREMATURE_END); // position stays at the opening quote
            return nullptr;
        }
        if (c == '"') {
            *out = '\0';
            reader->position = in + 1;
            return value;
        }
        if (c < 0x20) {
            reader->position = in;
            fail(reader, JSON_ERROR_BAD_CHARACTER);
            return nullptr;
        }
        if (c != '\\') {
            *out++ = *in++;
            continue;
        }
        char stored = '\0';
        std::size_t length = 2;
        switch (in[1]) {
        case '"':
        case '\\':
        case '/':
            stored = in[1];
            break;
        case 'b':
            stored = '\b';
            break;
        case 'f':
            stored = '\f';
            break;
        case 'n':
            stored = '\n';
            break;
        case 'r':
            stored = '\r';
            break;
        case 't':
            stored = '\t';
            break;
        case 'u':
            // strncmp stops at the terminating NUL, so a short tail is never over-read.
            if (std::strncmp(in + 2, "0000", 4) != 0) {
                reader->position = in;
                fail(reader, JSON_ERROR_UNSUPPORTED_UNICODE);
                return nullptr;
            }
            length = 6;
            break;
        default:
            reader->position = in;
            fail(reader, JSON_ERROR_BAD_ESCAPE);
            return nullptr;
        }
        *out++ = stored;
        in += length;
    }
}

int json_read_bool(json_reader* reader) {
    json_skip_space(reader);
    if (std::strncmp(reader->position, "true", 4) == 0) {
        reader->position += 4;
        return 1;
    }
    if (std::strncmp(reader->position, "false", 5) == 0) {
        reader->position += 5;
        return 0;
    }
    fail(reader, JSON_ERROR_BOOLEAN_EXPECTED);
    return 0;
}

std::uint32_t json_read_null(json_reader* reader) {
    json_skip_space(reader);
    if (std::strncmp(reader->position, "null", 4) != 0) {
        return fail(reader, JSON_ERROR_NULL_EXPECTED);
    }
    reader->position += 4;
    return JSON_OK;
}

std::int64_t json_read_int64(json_reader* reader) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(reader->position, &end, 0);
    if (end == reader->position) {
        fail(reader, JSON_ERROR_NUMBER_EXPECTED);
        return 0;
    }
    if (errno == ERANGE) {
        fail(reader, JSON_ERROR_NUMBER_RANGE); // errno stays ERANGE for the error text
        return 0;
    }
    reader->position = end;
    if (*end == '.' || *end == 'e' || *end == 'E') {
        fail(reader, JSON_ERROR_NUMBER_FORMAT);
        return 0;
    }
    return value;
}

std::int32_t json_read_int32(json_reader* reader) {
    char* const start = reader->position;
    const std::int64_t value = json_read_int64(reader);
    if (reader->error_code == 0 && (value < INT32_MIN || value > INT32_MAX)) {
        fail(reader, JSON_ERROR_NUMBER_RANGE);
    }
    if (reader->error_code != 0) {
        reader->position = start;
        return 0;
    }
    return static_cast<std::int32_t>(value);
}

std::uint32_t json_skip_number(json_reader* reader) {
    json_skip_space(reader);
    char* const start = reader->position;
    char* p = start;
    if (*p == '-') {
        ++p;
    }
    while (is_digit(*p)) {
        ++p;
    }
    if (*p == '.') {
        ++p;
        if (!is_digit(*p)) {
            return fail(reader, JSON_ERROR_NUMBER_FORMAT);
        }
        while (is_digit(*p)) {
            ++p;
        }
    }
    if (*p == 'e' || *p == 'E') {
        ++p;
        if (*p == '+' || *p == '-') {
            ++p;
        }
        if (!is_digit(*p)) {
            return fail(reader, JSON_ERROR_NUMBER_FORMAT);
        }
        while (is_digit(*p)) {
            ++p;
        }
    }
    reader->position = p;
    return JSON_OK;
}

std::uint32_t json_skip_value(json_reader* reader) {
    return skip_any(reader);
}

std::uint32_t json_skip_object(json_reader* reader) {
    json_skip_space(reader);
    if (*reader->position != '{') {
        return fail(reader, JSON_ERROR_OBJECT_EXPECTED);
    }
    return skip_any(reader);
}

std::uint32_t json_skip_array(json_reader* reader) {
    json_skip_space(reader);
    if (*reader->position != '[') {
        return fail(reader, JSON_ERROR_ARRAY_EXPECTED);
    }
    return skip_any(reader);
}
