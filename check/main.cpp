// mail-restore-check: shows what mail-restore would do with the document on standard input,
// where the server differs from it, and what in it will not work. Changes nothing.
#include "check/Check.hpp"
#include "driver/ProcessState.hpp"

#include <malloc.h>

int main(int argc, char** argv) {
    // The same known process state as the tool's: the check runs postmap too.
    corvo::resetInheritedState();
    // A large document or an audit makes millions of small blocks and many large ones; the
    // allocator's fast bins would be merged again at every large request, a fifth of the
    // check's time with 40,000 aliases. Small blocks still come from the per-thread cache.
    mallopt(M_MXFAST, 0);
    return corvo::check::runCheck(argc, argv);
}
