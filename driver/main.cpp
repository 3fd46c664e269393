// mail-restore: restores one domain's mail configuration from the document on standard
// input. Arguments are ignored.
#include "driver/Entry.hpp"

int main(int /*argc*/, char** /*argv*/) {
    return corvo::runMain();
}
