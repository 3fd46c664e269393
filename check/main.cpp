// mail-restore-check: shows what mail-restore would do with the document on standard input,
// where the server differs from it, and what in it will not work. Changes nothing.
#include "check/Check.hpp"
#include "driver/ProcessState.hpp"

int main(int argc, char** argv) {
    // The same known process state as the tool's: the check runs postmap too.
    corvo::resetInheritedState();
    return corvo::check::runCheck(argc, argv);
}
