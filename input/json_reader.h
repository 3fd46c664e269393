// In-place JSON reader.
//
// Reads one JSON document held in a mutable, NUL-terminated buffer. It builds no tree and
// copies nothing: a binding calls the primitives below in document order and stores each
// value straight into its own plain record. Strings are unescaped inside the buffer and
// handed out as pointers into it, so the buffer must outlive every record that refers to it.
// Every allocation goes through the reader's json_allocator.
//
// DIAGNOSTICS: a failure is a numeric code kept in the reader (never an exception), with the
// position of the offending byte and, for codes 21 to 23, one text argument. The primitives
// do not look at a code already set: the caller checks the code after every call and stops
// at the first non-zero one. json_error_text renders the code, offset and character.
#pragma once

#include <cstddef>
#include <cstdint>

// Allocation entry points; context is handed back as the first argument of each.
struct json_allocator {
    void* context;
    void* (*allocate)(void* context, std::size_t size);
    void* (*reallocate)(void* context, void* block, std::size_t size); // block may be null
    void (*release)(void* context, void* block);
};

// How plain records hold arrays: items points to `capacity` slots allocated through the
// reader's allocator; slots at and beyond `count` are zero.
struct json_array {
    std::uint64_t count;
    std::uint64_t capacity;
    void* items;
};

struct json_reader {
    const char* text_start;     // first byte of the document; offsets count from here
    char* position;             // next byte to examine; the offending byte after a failure
    const char* error_argument; // constraint message (23) or field name (21, 22), or null
    std::uint32_t error_code;   // 0 while no error happened
    json_allocator allocator;
};

enum json_error : std::uint32_t {
    JSON_OK = 0,
    JSON_ERROR_CONTAINER_ENDED = 1,
    JSON_ERROR_PREMATURE_END = 2,
    JSON_ERROR_VALUE_EXPECTED = 3,
    JSON_ERROR_NUMBER_EXPECTED = 4,
    JSON_ERROR_NUMBER_RANGE = 5,
    JSON_ERROR_NUMBER_FORMAT = 6,
    JSON_ERROR_STRING_EXPECTED = 7,
    JSON_ERROR_BAD_ESCAPE = 8,
    JSON_ERROR_BAD_CHARACTER = 9,
    JSON_ERROR_UNSUPPORTED_UNICODE = 10,
    JSON_ERROR_OBJECT_EXPECTED = 11,
    JSON_ERROR_NAME_SEPARATOR = 12,
    JSON_ERROR_OBJECT_SEPARATOR = 13,
    JSON_ERROR_REQUIRED_MISSING = 14,
    JSON_ERROR_ARRAY_EXPECTED = 15,
    JSON_ERROR_ARRAY_SEPARATOR = 16,
    JSON_ERROR_BOOLEAN_EXPECTED = 17,
    JSON_ERROR_NULL_EXPECTED = 18,
    JSON_ERROR_NULL_UNEXPECTED = 19,
    JSON_ERROR_NO_MEMORY = 20,
    JSON_ERROR_UNKNOWN_FIELD = 21,
    JSON_ERROR_DUPLICATE_FIELD = 22,
    JSON_ERROR_CONSTRAINT = 23,
};

// The process heap (malloc, realloc, free), without context.
extern const json_allocator json_default_allocator;

// Creates a reader over text with the given allocator (null: the default one). Returns null
// when text is null or the reader's block cannot be allocated.
json_reader* json_reader_create(char* text, const json_allocator* allocator);

// Gives the reader's block back to its allocator; null is ignored. The tool itself never
// releases its reader; tests do.
void json_reader_release(json_reader* reader);

// Renders the reader's error: the code's text, " Error occured at offset N", the character
// there, and the system error when errno is set. The text lives in a static buffer of 1024
// bytes, one per thread, that the thread's next call overwrites.
const char* json_error_text(const json_reader* reader);

// Skips white space of the POSIX locale: space, \t, \n, \v, \f, \r.
void json_skip_space(json_reader* reader);

// The structural primitives skip white space first. begin returns 0 or the error code;
// try_end returns 1 when it consumed the closing bracket, else 0, and never fails; next
// returns 0 after ',', 1 after the closing bracket, or the error code (13 or 16).
std::uint32_t json_object_begin(json_reader* reader);
int json_object_try_end(json_reader* reader);
int json_object_next(json_reader* reader);
std::uint32_t json_array_begin(json_reader* reader);
int json_array_try_end(json_reader* reader);
int json_array_next(json_reader* reader);

// Reads a field name and the ':' after it. Returns the name, or null when the string fails;
// a missing ':' sets code 12 and still returns the name.
char* json_object_field_name(json_reader* reader);

// Reads a string, unescaping it in place; returns a pointer into the buffer or null. The
// only '\u' escape accepted is \u0000, which ends the value's text there.
char* json_read_string(json_reader* reader);

// Keywords match as prefixes: "truex" reads true and leaves the position at the 'x'.
int json_read_bool(json_reader* reader);
std::uint32_t json_read_null(json_reader* reader);

// Integers convert like strtoll in base 0 (0x1F is 31, 010 is 8, +7 is 7). These two do
// not skip white space themselves; the conversion does. json_read_int32 puts the position
// back where it was after any failure.
std::int64_t json_read_int64(json_reader* reader);
std::int32_t json_read_int32(json_reader* reader);

// Skips one value of any kind, checking its syntax; returns the reader's error code. Skipped
// strings are unescaped in place too. Nesting depth is limited only by memory: open
// containers are tracked on an explicit stack, so a deeply nested value cannot exhaust the
// C stack; when that stack cannot grow the code is 20.
std::uint32_t json_skip_value(json_reader* reader);
std::uint32_t json_skip_object(json_reader* reader);
std::uint32_t json_skip_array(json_reader* reader);
// Accepts an optional '-', digits (none included), an optional fraction with at least one
// digit and an optional exponent with at least one digit; a lone '-' passes.
std::uint32_t json_skip_number(json_reader* reader);
