# The house warnings, in one place for the main build and the fuzz build: every target of
# the project links corvo_warnings. With CORVO_WERROR on, a warning fails the build.
add_library(corvo_warnings INTERFACE)
target_compile_options(corvo_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual>
    -Wformat=2 -Wimplicit-fallthrough
    $<$<BOOL:${CORVO_WERROR}>:-Werror>)
