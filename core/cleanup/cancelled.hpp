#pragma once

#include <string_view>

namespace bramvelt::cleanup {

// Every step that reads the run's cancel flag and stops fails with this text.
inline constexpr std::string_view kCleanupCancelled = "Cleanup cancelled";

}  // namespace bramvelt::cleanup
