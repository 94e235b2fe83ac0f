#pragma once
// The cleanup engine's failures travel as texts: a fixed one, or the system's for an
// error number.

#include <expected>
#include <string>
#include <string_view>

#include "platform/os_error.hpp"

namespace bramvelt::cleanup {

inline std::unexpected<std::string> fail(std::string_view text) {
    return std::unexpected(std::string(text));
}

inline std::unexpected<std::string> fail_os(int error) {
    return std::unexpected(platform::os_error_text(error));
}

}  // namespace bramvelt::cleanup
