// INI value reader: scans the file line by line and stops at the first matching key of
// the wanted section. The file is closed on every path; nothing is cached.
#include "config/ini_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/base/ascii.h"

namespace {

// Trims [begin, end) of surrounding white space in place and terminates it; returns the
// new beginning.
char* trim(char* begin, char* end) {
    while (begin < end && ascii_is_blank(*begin)) {
        ++begin;
    }
    while (end > begin && ascii_is_blank(end[-1])) {
        --end;
    }
    *end = '\0';
    return begin;
}

} // namespace

char* ini_get_value(const char* path, const char* section, const char* key) {
    errno = 0;
    struct stat status;
    if (stat(path, &status) != 0 || !S_ISREG(status.st_mode)) {
        return nullptr;
    }
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        (void)std::fprintf(stderr, "Failed to open %s: %s", path, std::strerror(errno));
        return nullptr;
    }

    char* line = nullptr;
    std::size_t line_size = 0;
    ssize_t length;
    bool in_section = false;
    char* result = nullptr;
    while ((length = getline(&line, &line_size, file)) >= 0) {
        char* end = std::strchr(line, ';');
        if (end == nullptr) {
            end = line + length;
        }
        char* text = trim(line, end);
        std::size_t text_length = std::strlen(text);
        if (text_length == 0) {
            continue;
        }
        if (text_length >= 3 && text[0] == '[' && text[text_length - 1] == ']') {
            text[text_length - 1] = '\0';
            in_section = std::strcmp(text + 1, section) == 0;
            continue;
        }
        char* separator = std::strchr(text, '=');
        if (separator == nullptr || !in_section) {
            continue;
        }
        if (std::strcmp(trim(text, separator), key) == 0) {
            result = strdup(trim(separator + 1, text + text_length));
            break;
        }
    }
    std::free(line);
    (void)std::fclose(file);
    return result;
}
