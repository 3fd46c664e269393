// Parses any byte string as the server configuration file, into a store of its own for
// each input, and looks up every known variable in it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "config/vca_conf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    vca_conf_store* store = vca_conf_store_new();
    if (file == nullptr || store == nullptr)
        std::abort();
    if (vca_conf_parse(file, store) == 0)
        for (const vca_conf_known_var& known : vca_conf_known_vars)
            if (known.name != nullptr)
                (void)vca_conf_store_find(store, known.name);
    vca_conf_store_free(store);
    (void)std::fclose(file);
    return 0;
}
