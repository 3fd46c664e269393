// Administrative mail alias names from the panel settings file.
//
// Reads key "adminAliases" of section "mail" in "/opt/vca/admin/conf/panel.ini" on every
// call. Raises nothing: a missing file, section or key gives the compiled-in list.
#pragma once

#include <string>
#include <vector>

namespace corvo::mail {

// The alias local parts, lower-cased, in their order (repeats kept). A present but empty
// setting gives an empty list.
std::vector<std::string> getAdminAliases();

} // namespace corvo::mail
