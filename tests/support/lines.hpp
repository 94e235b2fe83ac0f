#pragma once
// Splits a report into its lines, for tests that check output line by line.

#include <string>
#include <vector>

namespace bramvelt::testing {

// The lines of `text` without their line feeds; a final line feed ends the last line.
inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

}  // namespace bramvelt::testing
