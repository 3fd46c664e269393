// mail-restore: restores one domain's mail configuration from the document on standard
// input. Arguments are ignored.
#include "driver/Entry.hpp"
#include "driver/ProcessState.hpp"

int main(int /*argc*/, char** /*argv*/) {
    corvo::resetInheritedState();
    return corvo::runMain();
}
