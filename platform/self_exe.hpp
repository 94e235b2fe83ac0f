#pragma once

#include <expected>
#include <string>

namespace bramvelt::platform {

// The absolute path of the running executable, or the failure's text.
std::expected<std::string, std::string> current_exe_path();

}  // namespace bramvelt::platform
