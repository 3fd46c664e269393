// Reads any byte string as the panel settings file, through an anonymous memory file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int file = memfd_create("panel.ini", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(file);
    if (file < 0 || ftruncate(file, 0) != 0 || pwrite(file, data, size, 0) < 0)
        std::abort();
    for (const char* section : {"mail", ""})
        std::free(ini_get_value(path.c_str(), section, "adminAliases"));
    return 0;
}
