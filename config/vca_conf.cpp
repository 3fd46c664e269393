// Server configuration file: the table of known variables, the loader and the lookups.
//
// The store is loaded on first demand and kept for the rest of the process; lookups hand
// out pointers into it. A load that fails releases everything it allocated, so no partial
// store survives and the next request reads the file again. Nothing here reaches the
// caller as an error: a value that cannot be read from the file yields its default.
#include "config/vca_conf.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>

#include "diagnostics/log.h"
#include "lib/base/ascii.h"

const vca_conf_known_var vca_conf_known_vars[VCA_CONF_VAR_COUNT] = {
    {"_MIN_POSSIBLE_VCA_CONF_VAR_NAME", "_MIN_POSSIBLE_VCA_CONF_VAR_VALUE"},
    {"CORVO_MAILNAMES_D", "/var/qmail/mailnames"},
    {"RBLSMTPD", "/usr/sbin/rblsmtpd"},
    {"CLIENT_PHP_BIN", "/opt/vca/bin/php-cli"},
    {"LIB_CRYPTO_PATH", "/lib/libcrypto.so"},
    {"LIB_SSL_PATH", "/lib/libssl.so"},
    {"AWSTATS_DOC_D", "/usr/share/awstats"},
    {"AWSTATS_TOOLS_D", "/usr/share/awstats/tools"},
    {"AWSTATS_BIN_D", "/usr/lib/cgi-bin"},
    {"AWSTATS_ETC_D", "/etc/awstats"},
    {"MAILMAN_VAR_D", "/var/lib/mailman"},
    {"MAILMAN_ROOT_D", "/usr/lib/mailman"},
    {"PGSQL_DATA_D", "/var/lib/postgresql/14/main"},
    {"PGSQL_BIN_D", "/usr/lib/postgresql/14/bin"},
    {"MYSQL_BIN_D", "/usr/bin"},
    {"MYSQL_VAR_D", "/var/lib/mysql"},
    {"WEB_STAT", "/usr/bin/webalizer"},
    {"DUMP_D", "/var/lib/vca/dumps"},
    {"DUMP_TMP_D", "/tmp"},
    {"NAMED_RUN_ROOT_D", "/var/named/run-root"},
    {"HTTPD_BIN", "/usr/sbin/apache2"},
    {"HTTPD_SERVICE", "apache2"},
    {"HTTPD_LOG_D", "/var/log/apache2"},
    {"HTTPD_INCLUDE_D", "/etc/apache2/conf-enabled"},
    {"HTTPD_CONF_D", "/etc/apache2"},
    {"HTTPD_VHOSTS_D", "/var/www/vhosts"},
    {"MYSQL_SOCKET", "/var/run/mysqld/mysqld.sock"},
    {"SA_MAX_MAIL_SIZE", "256000"},
    {"SNI_SUPPORT", "true"},
    {"PRODUCT_ROOT_D", "/opt/vca"},
    {"_MAX_POSSIBLE_VCA_CONF_VAR_NAME", "_MAX_POSSIBLE_VCA_CONF_VAR_VALUE"},
};

namespace {

const char* const config_path = "/etc/vca/vca.conf";
const std::size_t initial_capacity = 20;
// Levels of the console logger; the parse and file messages sit below its threshold.
const int level_error = 3;
const int level_quiet = 12;

vca_conf_store* process_store = nullptr;
const char* value_cache[VCA_CONF_VAR_COUNT] = {};

bool is_name_char(char c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The position of each name in the store while a file is read. Without it, finding a name
// already present costs a pass over the store per line, and reading a file of many
// distinct names takes time growing with the square of their number.
using name_index = std::unordered_map<std::string_view, std::size_t>;

// Stores a copy of the pair; a name already present gets the new value (the later line
// wins). Returns 0, or -1 with errno ENOMEM.
int store_put(vca_conf_store* store, name_index& index, const char* name, const char* value) {
    if (const auto found = index.find(name); found != index.end()) {
        const std::size_t i = found->second;
        char* copy = strdup(value);
        if (copy == nullptr) {
            log_message(level_quiet, "Unable to form configuration: %s", std::strerror(ENOMEM));
            errno = ENOMEM;
            return -1;
        }
        std::free(store->items[i].value);
        store->items[i].value = copy;
        return 0;
    }
    if (store->count == store->capacity) {
        std::size_t capacity = store->capacity == 0 ? initial_capacity : store->capacity * 2;
        void* items = std::realloc(store->items, capacity * sizeof(vca_conf_pair));
        if (items == nullptr) {
            log_message(level_quiet, "Unable to read configuration: %s", std::strerror(ENOMEM));
            errno = ENOMEM;
            return -1;
        }
        store->items = static_cast<vca_conf_pair*>(items);
        store->capacity = capacity;
    }
    char* name_copy = strdup(name);
    char* value_copy = strdup(value);
    bool indexed = false;
    try {
        indexed = name_copy != nullptr && index.emplace(name_copy, store->count).second;
    } catch (const std::bad_alloc&) {
        // reported below, as a copy that failed
    }
    if (!indexed || value_copy == nullptr) {
        if (indexed) {
            index.erase(name_copy);
        }
        std::free(name_copy);
        std::free(value_copy);
        log_message(level_quiet, "Unable to form configuration: %s", std::strerror(ENOMEM));
        errno = ENOMEM;
        return -1;
    }
    store->items[store->count].name = name_copy;
    store->items[store->count].value = value_copy;
    ++store->count;
    store->sorted = 0;
    return 0;
}

// Parses one line (ending in its line feed, if any) and stores the pair it defines. The
// line is cut in place. Returns -1 only when the pair cannot be stored; a refused line is
// logged and skipped.
int parse_line(char* line, vca_conf_store* store, name_index& index) {
    char* name = line;
    while (ascii_is_blank(*name)) {
        ++name;
    }
    if (*name == '\0' || *name == '#') {
        return 0;
    }
    char* name_end = name;
    while (is_name_char(*name_end)) {
        ++name_end;
    }
    if (name_end == name || !ascii_is_blank(*name_end)) {
        log_message(level_quiet,
                    "Invalid variable definition %s\nExpected a space after variable name\n", name);
        return 0;
    }
    char* value = name_end;
    while (ascii_is_blank(*value)) {
        ++value;
    }
    if (*value == '\0' || *value == '#') {
        log_message(level_quiet, "Invalid variable definition %s\nExpected a value", name);
        return 0;
    }
    char* value_end = std::strchr(value, '#');
    if (value_end == nullptr) {
        value_end = value + std::strlen(value);
    }
    while (value_end > value && ascii_is_blank(value_end[-1])) {
        --value_end;
    }
    *value_end = '\0';
    *name_end = '\0';
    return store_put(store, index, name, value);
}

int compare_pairs(const void* left, const void* right) {
    return std::strcmp(static_cast<const vca_conf_pair*>(left)->name,
                       static_cast<const vca_conf_pair*>(right)->name);
}

} // namespace

vca_conf_store* vca_conf_store_new() {
    auto* store = static_cast<vca_conf_store*>(std::calloc(1, sizeof(vca_conf_store)));
    if (store == nullptr) {
        log_message(level_error,
                    "Not enough memory to allocate Corvo runtime configuration structure");
        return nullptr;
    }
    store->items =
        static_cast<vca_conf_pair*>(std::calloc(initial_capacity, sizeof(vca_conf_pair)));
    if (store->items == nullptr) {
        std::free(store);
        errno = ENOMEM;
        return nullptr;
    }
    store->capacity = initial_capacity;
    store->sorted = 1;
    return store;
}

void vca_conf_store_free(vca_conf_store* store) {
    for (std::size_t i = 0; i < store->count; ++i) {
        std::free(store->items[i].name);
        std::free(store->items[i].value);
    }
    std::free(store->items);
    std::free(store);
}

int vca_conf_parse(FILE* file, vca_conf_store* store) {
    name_index index; // the store starts empty
    char* line = nullptr;
    std::size_t line_size = 0;
    int result = 0;
    while (getline(&line, &line_size, file) >= 0) {
        if (parse_line(line, store, index) != 0) {
            result = -1;
            break;
        }
    }
    std::free(line);
    if (result != 0) {
        return -1;
    }
    if (store->sorted == 0) {
        std::qsort(store->items, store->count, sizeof(vca_conf_pair), compare_pairs);
        store->sorted = 1;
    }
    if (std::ferror(file) != 0) {
        log_message(level_quiet, "Unable to read configuration file: %s", std::strerror(errno));
        return -1;
    }
    return 0;
}

const char* vca_conf_store_find(const vca_conf_store* store, const char* name) {
    if (store->sorted != 0) {
        vca_conf_pair key = {const_cast<char*>(name), nullptr};
        const void* found =
            std::bsearch(&key, store->items, store->count, sizeof(vca_conf_pair), compare_pairs);
        return found == nullptr ? nullptr : static_cast<const vca_conf_pair*>(found)->value;
    }
    for (std::size_t i = 0; i < store->count; ++i) {
        if (std::strcmp(store->items[i].name, name) == 0) {
            return store->items[i].value;
        }
    }
    return nullptr;
}

int vca_conf_load() {
    if (process_store != nullptr) {
        return 0;
    }
    vca_conf_store* store = vca_conf_store_new();
    if (store == nullptr) {
        return -1;
    }

    FILE* file = std::fopen(config_path, "r");
    if (file == nullptr) {
        int error = errno;
        log_message(level_quiet, "unable to open configuration file %s: %s\n", config_path,
                    std::strerror(error));
        vca_conf_store_free(store);
        errno = error;
        return -1;
    }
    int result = vca_conf_parse(file, store);
    int error = errno;
    (void)std::fclose(file);
    if (result != 0) {
        vca_conf_store_free(store);
        errno = error;
        return -1;
    }
    process_store = store;
    return 0;
}

const char* vca_conf_lookup(const char* name) {
    if (name == nullptr || vca_conf_load() != 0) {
        return nullptr;
    }
    return vca_conf_store_find(process_store, name);
}

const char* vca_conf_get(int index) {
    if (index < 0 || index >= VCA_CONF_VAR_COUNT) {
        return nullptr;
    }
    auto slot = static_cast<std::size_t>(index);
    if (value_cache[slot] == nullptr) {
        // A variable the file lacks stays uncached, so it is looked up again next time.
        value_cache[slot] = vca_conf_lookup(vca_conf_known_vars[slot].name);
    }
    return value_cache[slot];
}

const char* vca_conf_get_default(int index) {
    const char* value = vca_conf_get(index);
    if (value != nullptr) {
        return value;
    }
    if (index < 0 || index >= VCA_CONF_VAR_COUNT) {
        return "";
    }
    return vca_conf_known_vars[static_cast<std::size_t>(index)].default_value;
}
