#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bramvelt::cleanup {

inline constexpr std::size_t kMaxReportCharacters = 1600;

// Every text the engine puts into an event or a result: control characters (below U+0020
// and U+007F to U+009F) become spaces, invalid UTF-8 becomes U+FFFD, and the text ends
// after 1600 characters, unmarked. A sanitized text comes back unchanged.
std::string sanitize_report_text(std::string_view text);

}  // namespace bramvelt::cleanup
