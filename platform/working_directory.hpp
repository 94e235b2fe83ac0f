#pragma once
// The process's working folder, against which relative paths resolve.

#include <expected>
#include <string>

namespace bramvelt::platform {

// Its absolute path, however long. The error is errno (ENOENT once it was removed).
std::expected<std::string, int> working_directory();

}  // namespace bramvelt::platform
