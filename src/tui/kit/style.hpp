#pragma once
// Colours, text modifiers and styles of terminal cells. A `Style` is a patch: a colour
// it leaves unset, and a modifier it neither adds nor removes, keep what lies beneath.

#include <cstdint>
#include <optional>

namespace bramvelt::tui::kit {

// A 24-bit colour, or the terminal's own default colour (Reset).
struct Color {
    bool reset = true;
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;

    static constexpr Color rgb(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
        return Color{false, red, green, blue};
    }
    static constexpr Color default_color() { return Color{}; }
    friend constexpr bool operator==(const Color&, const Color&) = default;
};

// Bit set of text attributes.
enum class Modifier : std::uint8_t {
    None = 0,
    Bold = 1 << 0,
    Dim = 1 << 1,
    Italic = 1 << 2,
    Underlined = 1 << 3,
    Reversed = 1 << 4,
    CrossedOut = 1 << 5,
};

constexpr Modifier operator|(Modifier a, Modifier b) {
    return static_cast<Modifier>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b));
}
constexpr Modifier operator&(Modifier a, Modifier b) {
    return static_cast<Modifier>(static_cast<std::uint8_t>(a) & static_cast<std::uint8_t>(b));
}
constexpr Modifier operator~(Modifier a) {
    return static_cast<Modifier>(~static_cast<std::uint8_t>(a));
}
constexpr bool has(Modifier set, Modifier bits) {
    return (set & bits) == bits;
}

struct Style {
    std::optional<Color> fg;
    std::optional<Color> bg;
    Modifier add_modifier = Modifier::None;
    Modifier sub_modifier = Modifier::None;

    constexpr Style& with_fg(Color c) {
        fg = c;
        return *this;
    }
    constexpr Style& with_bg(Color c) {
        bg = c;
        return *this;
    }
    constexpr Style& add(Modifier m) {
        add_modifier = add_modifier | m;
        sub_modifier = sub_modifier & ~m;
        return *this;
    }
    constexpr Style& remove(Modifier m) {
        sub_modifier = sub_modifier | m;
        add_modifier = add_modifier & ~m;
        return *this;
    }
    constexpr Style bold() const {
        Style s = *this;
        return s.add(Modifier::Bold);
    }
    // `other` laid over this style.
    constexpr Style patch(const Style& other) const {
        Style s;
        s.fg = other.fg ? other.fg : fg;
        s.bg = other.bg ? other.bg : bg;
        s.add_modifier = (add_modifier & ~other.sub_modifier) | other.add_modifier;
        s.sub_modifier = (sub_modifier & ~other.add_modifier) | other.sub_modifier;
        return s;
    }
    friend constexpr bool operator==(const Style&, const Style&) = default;
};

constexpr Style fg(Color c) {
    return Style{}.with_fg(c);
}
constexpr Style fg_bg(Color f, Color b) {
    return Style{}.with_fg(f).with_bg(b);
}

}  // namespace bramvelt::tui::kit
