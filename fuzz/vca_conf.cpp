// Parses any byte string as the server configuration file. The reader is compiled in here
// so that each input gets a store of its own instead of the process-wide one.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "config/vca_conf.cpp" // NOLINT(bugprone-suspicious-include)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    auto* store = static_cast<vca_conf_store*>(std::calloc(1, sizeof(vca_conf_store)));
    if (file == nullptr || store == nullptr)
        std::abort();
    // As vca_conf_load sets it up.
    store->items = static_cast<vca_conf_pair*>(std::calloc(initial_capacity, sizeof(vca_conf_pair)));
    store->capacity = initial_capacity;
    store->sorted = 1;
    if (parse_file(file, store) == 0)
        for (const vca_conf_known_var& known : vca_conf_known_vars) {
            const vca_conf_pair key = {const_cast<char*>(known.name), nullptr};
            if (key.name != nullptr)
                (void)std::bsearch(&key, store->items, store->count, sizeof key, compare_pairs);
        }
    store_free(store);
    (void)std::fclose(file);
    return 0;
}
