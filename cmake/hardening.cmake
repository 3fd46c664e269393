# Hardening for every build of the project, not only the package's (which gets the same
# from dpkg-buildflags): position-independent executables, the stack protector with stack
# clash protection, fortified C library calls, and relocations made read-only before main
# runs (relro with bind-now). Fortify needs optimisation and is left out of sanitizer
# builds, whose interceptors stand in for the checked calls. CORVO_HARDENING=OFF exists for
# `make bench` alone, which times such a build beside the tool to show what the flags cost.
option(CORVO_HARDENING "Harden every build (PIE, relro, bind-now, stack protector, fortify)" ON)
if(NOT CORVO_HARDENING)
    set(CMAKE_POSITION_INDEPENDENT_CODE OFF)
    add_compile_options(-fno-stack-protector -fno-pie)
    add_link_options(-no-pie LINKER:-z,lazy LINKER:-z,norelro)
    return()
endif()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()
add_compile_options(-fstack-protector-strong -fstack-clash-protection)
if(NOT CORVO_SANITIZE)
    # In this order, after whatever the caller's flags define.
    add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now)
