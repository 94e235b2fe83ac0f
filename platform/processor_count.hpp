#pragma once
// How many processors the system has online, to size thread pools.

#include <optional>

namespace bramvelt::platform {

// Nothing when the system cannot tell.
std::optional<unsigned long> online_processors();

}  // namespace bramvelt::platform
