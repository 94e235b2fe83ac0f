#pragma once
// Rectangles of terminal cells. Coordinates are 16-bit like the terminal's own; every
// operation saturates instead of wrapping, so a rectangle never reaches past 65,535.

#include <algorithm>
#include <cstdint>

namespace bramvelt::tui::kit {

struct Margin {
    std::uint16_t horizontal = 0;
    std::uint16_t vertical = 0;
};

struct Rect {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;

    // Clips the size so that the rectangle ends within the coordinate range.
    static constexpr Rect make(std::uint32_t x, std::uint32_t y, std::uint32_t width,
                               std::uint32_t height) {
        const std::uint32_t cx = std::min<std::uint32_t>(x, 0xFFFF);
        const std::uint32_t cy = std::min<std::uint32_t>(y, 0xFFFF);
        return Rect{static_cast<std::uint16_t>(cx), static_cast<std::uint16_t>(cy),
                    static_cast<std::uint16_t>(std::min<std::uint32_t>(width, 0xFFFF - cx)),
                    static_cast<std::uint16_t>(std::min<std::uint32_t>(height, 0xFFFF - cy))};
    }

    constexpr std::uint32_t area() const { return std::uint32_t{width} * height; }
    constexpr bool empty() const { return width == 0 || height == 0; }
    constexpr std::uint16_t left() const { return x; }
    constexpr std::uint16_t top() const { return y; }
    constexpr std::uint16_t right() const { return static_cast<std::uint16_t>(x + width); }
    constexpr std::uint16_t bottom() const { return static_cast<std::uint16_t>(y + height); }

    constexpr bool contains(std::uint32_t px, std::uint32_t py) const {
        return px >= x && px < right() && py >= y && py < bottom();
    }

    constexpr Rect inner(Margin m) const {
        if (width < 2 * m.horizontal || height < 2 * m.vertical) {
            return Rect{x, y, 0, 0};
        }
        return Rect{static_cast<std::uint16_t>(x + m.horizontal),
                    static_cast<std::uint16_t>(y + m.vertical),
                    static_cast<std::uint16_t>(width - 2 * m.horizontal),
                    static_cast<std::uint16_t>(height - 2 * m.vertical)};
    }

    constexpr Rect intersection(const Rect& o) const {
        const std::uint16_t l = std::max(x, o.x);
        const std::uint16_t t = std::max(y, o.y);
        const std::uint16_t r = std::min(right(), o.right());
        const std::uint16_t b = std::min(bottom(), o.bottom());
        if (r <= l || b <= t) {
            return Rect{l, t, 0, 0};
        }
        return Rect{l, t, static_cast<std::uint16_t>(r - l), static_cast<std::uint16_t>(b - t)};
    }

    friend constexpr bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace bramvelt::tui::kit
