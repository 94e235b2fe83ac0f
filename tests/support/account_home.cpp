#include "support/account_home.hpp"

#include <pwd.h>
#include <unistd.h>

namespace bramvelt::testing {

std::string account_home() {
    const passwd* entry = ::getpwuid(::getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "/";
}

}  // namespace bramvelt::testing
