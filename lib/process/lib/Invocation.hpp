// One run of a program, as data: the program's path, its arguments and the bytes it reads
// on standard input. What runs a command and what shows it take it from the same value, so
// a shown command line is the one that runs. Nothing here fails.
#pragma once

#include <string>
#include <vector>

namespace corvo::process {

struct Invocation {
    std::string program;
    std::vector<std::string> arguments; // after the program path, each as given
    std::string input;                  // empty: the program reads nothing

    bool operator==(const Invocation&) const = default;
};

} // namespace corvo::process
