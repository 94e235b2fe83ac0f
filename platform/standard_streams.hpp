#pragma once
// The process's standard streams by descriptor, and whether one is a terminal.

namespace bramvelt::platform {

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// `fd` is open and refers to a terminal.
bool is_terminal(int fd);

}  // namespace bramvelt::platform
