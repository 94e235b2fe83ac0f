#pragma once
// Reading one of a repository's configuration files without Git, for the decisions that
// need no program started: a file that cannot be read plainly is left to Git.

#include <cstddef>
#include <string>

namespace bramvelt::development {

// Repository configuration files are a few hundred bytes; a larger one is left to Git.
inline constexpr std::size_t kConfigFileLimit = 64 * 1024;

enum class FileRead { Read, Absent, Unsure };

// The file's text when it is a regular file within the limit (links followed, as Git
// follows them); a FIFO or device is never waited on.
FileRead read_config_file(const std::string& path, std::string& text);

}  // namespace bramvelt::development
