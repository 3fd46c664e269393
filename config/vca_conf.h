// Server configuration file "/etc/vca/vca.conf".
//
// The file holds one "NAME value" pair per line; '#' starts a comment. It is read once, on
// the first request, into a process-wide table sorted by name, and every variable the file
// does not define (or every variable at all, while the file cannot be read) falls back to
// the compiled-in default of the table of known variables below. Variables are requested
// by their fixed index into that table; a value found in the file is cached per index.
//
// DIAGNOSTICS: nothing fails towards the caller. vca_conf_load returns -1 when the file
// cannot be opened or read or memory runs out; it then keeps no partial table and the next
// request tries again. Refused lines and file errors are logged at level 12, below the
// console threshold, so they are normally silent; only a failure to allocate the table's
// header is logged at level 3.
#pragma once

#include <cstddef>
#include <cstdio>

// Indices of the known variables; index 0 and VCA_CONF_VAR_COUNT - 1 are bounds.
enum vca_conf_var {
    VCA_CONF_MIN_POSSIBLE_VAR = 0,
    VCA_CONF_CORVO_MAILNAMES_D = 1,
    VCA_CONF_RBLSMTPD = 2,
    VCA_CONF_CLIENT_PHP_BIN = 3,
    VCA_CONF_LIB_CRYPTO_PATH = 4,
    VCA_CONF_LIB_SSL_PATH = 5,
    VCA_CONF_AWSTATS_DOC_D = 6,
    VCA_CONF_AWSTATS_TOOLS_D = 7,
    VCA_CONF_AWSTATS_BIN_D = 8,
    VCA_CONF_AWSTATS_ETC_D = 9,
    VCA_CONF_MAILMAN_VAR_D = 10,
    VCA_CONF_MAILMAN_ROOT_D = 11,
    VCA_CONF_PGSQL_DATA_D = 12,
    VCA_CONF_PGSQL_BIN_D = 13,
    VCA_CONF_MYSQL_BIN_D = 14,
    VCA_CONF_MYSQL_VAR_D = 15,
    VCA_CONF_WEB_STAT = 16,
    VCA_CONF_DUMP_D = 17,
    VCA_CONF_DUMP_TMP_D = 18,
    VCA_CONF_NAMED_RUN_ROOT_D = 19,
    VCA_CONF_HTTPD_BIN = 20,
    VCA_CONF_HTTPD_SERVICE = 21,
    VCA_CONF_HTTPD_LOG_D = 22,
    VCA_CONF_HTTPD_INCLUDE_D = 23,
    VCA_CONF_HTTPD_CONF_D = 24,
    VCA_CONF_HTTPD_VHOSTS_D = 25,
    VCA_CONF_MYSQL_SOCKET = 26,
    VCA_CONF_SA_MAX_MAIL_SIZE = 27,
    VCA_CONF_SNI_SUPPORT = 28,
    VCA_CONF_PRODUCT_ROOT_D = 29,
    VCA_CONF_MAX_POSSIBLE_VAR = 30,
    VCA_CONF_VAR_COUNT = 31
};

// One known variable: its name in the file and its compiled-in default.
struct vca_conf_known_var {
    const char* name;
    const char* default_value;
};

// The table of known variables, indexed by vca_conf_var.
extern const vca_conf_known_var vca_conf_known_vars[VCA_CONF_VAR_COUNT];

// One pair read from the file; both texts are owned by the store.
struct vca_conf_pair {
    char* name;
    char* value;
};

// The table read from a file. The process-wide one, loaded on the first request, is never
// released: the values handed out point into it.
struct vca_conf_store {
    vca_conf_pair* items;
    std::size_t capacity; // pairs allocated, 20 at first, doubled when full
    std::size_t count;    // pairs in use
    int sorted;           // items are in ascending byte order of their names
};

// An empty store of 20 pairs, sorted; null (with errno ENOMEM, or after logging at level 3
// when the store's header itself cannot be allocated) when memory runs out.
vca_conf_store* vca_conf_store_new();

// Reads every line of file into store (a new one) and sorts it. Returns 0, or -1 when
// memory runs out or the file cannot be read (the store then holds what was read so far).
int vca_conf_parse(FILE* file, vca_conf_store* store);

// The value of name in store, or null.
const char* vca_conf_store_find(const vca_conf_store* store, const char* name);

// Frees the store and every text it holds.
void vca_conf_store_free(vca_conf_store* store);

// Loads the file into the process-wide store unless that exists. Returns 0 when the store exists, -1 on failure.
int vca_conf_load();

// The file's value of the named variable, or null when the file does not define it or
// cannot be loaded. Loads the file first when needed.
const char* vca_conf_lookup(const char* name);

// The file's value of the variable at index, cached once found; null when the file does
// not define it or the index is out of range.
const char* vca_conf_get(int index);

// vca_conf_get's value, or the compiled-in default; never null (an index out of range
// yields the empty text).
const char* vca_conf_get_default(int index);
