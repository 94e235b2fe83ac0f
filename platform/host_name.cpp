#include "platform/host_name.hpp"

#include <unistd.h>

#include <array>
#include <cstring>

namespace bramvelt::platform {

std::optional<std::string> host_name() {
    std::array<char, 256> buffer{};
    if (::gethostname(buffer.data(), buffer.size()) != 0) return std::nullopt;
    return std::string(buffer.data(), ::strnlen(buffer.data(), buffer.size()));
}

}  // namespace bramvelt::platform
