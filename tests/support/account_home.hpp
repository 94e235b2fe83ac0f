#pragma once
// The running account's home folder from the user database, "/" when it has none. The
// cleanup service wants this home as HOME, so tests that clean put their workspaces
// elsewhere (as root this home is itself protected).

#include <string>

namespace bramvelt::testing {

std::string account_home();

}  // namespace bramvelt::testing
