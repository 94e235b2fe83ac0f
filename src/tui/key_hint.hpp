#pragma once
// A key hint of the footer: the key, and what it does.

#include <string>
#include <vector>

namespace bramvelt::tui {

struct KeyHint {
    std::string key;
    std::string label;
    friend bool operator==(const KeyHint&, const KeyHint&) = default;
};

using KeyHints = std::vector<KeyHint>;

}  // namespace bramvelt::tui
