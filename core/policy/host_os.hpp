#pragma once

#include <cstdint>

namespace bramvelt::policy {

// Selects the path form and the protection lists. MacOs and Linux share the POSIX path
// form; Windows uses drive paths. The program's own local context always says MacOs.
enum class HostOs : std::uint8_t { MacOs = 0, Linux = 1, Windows = 2 };

}  // namespace bramvelt::policy
