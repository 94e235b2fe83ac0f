#pragma once
// Splits a rectangle into a row or column of rectangles by constraints.
//
// Each constraint asks for a size: Length exactly n cells, Percentage p % of the space,
// Ratio a fraction of it, Min at least n, Max at most n, Fill a share of what is left
// (by weight). Space left over goes to the Fill constraints by weight, else to the Min
// constraints, else nowhere: it stays empty after the last element, so a row of fixed
// columns keeps its widths on a wide screen. When space is short the softest requests give
// way first (Ratio, Percentage, Length, then Max and Min), last element first. Sizes
// are laid out as fractions and the edges rounded, so neighbours differ by at most one
// cell; `spacing` cells separate neighbours.

#include <cstdint>
#include <vector>

#include "src/tui/kit/geometry.hpp"

namespace bramvelt::tui::kit {

struct Constraint {
    enum class Kind { Length, Percentage, Ratio, Min, Max, Fill };
    Kind kind = Kind::Length;
    std::uint32_t a = 0;
    std::uint32_t b = 1;

    static constexpr Constraint length(std::uint32_t n) { return {Kind::Length, n, 1}; }
    static constexpr Constraint percentage(std::uint32_t p) { return {Kind::Percentage, p, 1}; }
    static constexpr Constraint ratio(std::uint32_t num, std::uint32_t den) {
        return {Kind::Ratio, num, den};
    }
    static constexpr Constraint min(std::uint32_t n) { return {Kind::Min, n, 1}; }
    static constexpr Constraint max(std::uint32_t n) { return {Kind::Max, n, 1}; }
    static constexpr Constraint fill(std::uint32_t weight) { return {Kind::Fill, weight, 1}; }
};

enum class Direction { Horizontal, Vertical };

struct Layout {
    Direction direction = Direction::Vertical;
    std::vector<Constraint> constraints;
    std::uint16_t spacing = 0;

    static Layout vertical(std::vector<Constraint> c) {
        return Layout{Direction::Vertical, std::move(c), 0};
    }
    static Layout horizontal(std::vector<Constraint> c) {
        return Layout{Direction::Horizontal, std::move(c), 0};
    }
    Layout& with_spacing(std::uint16_t s) {
        spacing = s;
        return *this;
    }
    // One rectangle per constraint, in order, all inside `area`.
    std::vector<Rect> split(Rect area) const;
};

}  // namespace bramvelt::tui::kit
