#pragma once
// The squarified treemap layout: sizes become rectangles of cells whose areas follow
// the sizes and whose shapes stay close to square as they look on screen (a cell is
// judged twice as tall as it is wide).

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "src/tui/kit/geometry.hpp"

namespace bramvelt::tui {

// One rectangle per size, in input order; none for a size that got no whole cell.
std::vector<std::optional<kit::Rect>> squarify(std::span<const std::uint64_t> sizes,
                                               kit::Rect region);

}  // namespace bramvelt::tui
