// Program entry: reads the domain document from standard input, converts it into the
// domain model, runs the restore sequence, and turns the outcome into the exit status and
// at most one diagnostic line.
#pragma once

namespace corvo {

// The main body: returns the restore sequence's result (0); every failure is thrown.
int restoreFromStandardInput();

// Runs the body (the main body unless told otherwise) inside the top-level handler:
// its result on success; 1 for a CorvoUtilException (bare text on standard error) or any
// other std::exception (the "Fatal error: " line on the utility error stream); 2 for
// anything else. The calling process becomes the one that writes the system log, and each
// of these lines goes there too (diagnostics/system_log.h).
int runMain(int (*body)() = restoreFromStandardInput);

} // namespace corvo
