#pragma once
// Key events as the input decoder makes them, for tests that drive the interface's keys.

#include <cstdint>

#include "src/tui/kit/input.hpp"

namespace bramvelt::tui::test_keys {

inline kit::KeyEvent ch(char32_t c, std::uint8_t mods = kit::key_modifiers::None) {
    kit::KeyEvent k;
    k.code = kit::KeyCode::Char;
    k.ch = c;
    k.modifiers = mods;
    return k;
}

inline kit::KeyEvent code(kit::KeyCode c) {
    kit::KeyEvent k;
    k.code = c;
    return k;
}

}  // namespace bramvelt::tui::test_keys
