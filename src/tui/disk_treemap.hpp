#pragma once
// The treemap beside the disk table: the current folder's children as coloured tiles,
// the larger ones with their own children nested inside, two levels at most.

#include <cstdint>
#include <span>
#include <vector>

#include "src/tui/disk_view.hpp"
#include "src/tui/kit/buffer.hpp"

namespace bramvelt::tui {

inline constexpr std::size_t kTopTiles = 80;
inline constexpr std::size_t kNestedTiles = 40;

// Indices of the children whose size is above 0, in the children's order.
std::vector<std::size_t> nonempty_child_indices(const DiskNode& folder);
std::vector<std::uint64_t> child_sizes(const DiskNode& folder,
                                       std::span<const std::size_t> indices);

// The folder palette colour for a rank (modulo 10).
kit::Color folder_color(std::size_t rank);
// Each channel moved 35 % of the way to white.
kit::Color lighten(kit::Color color);

enum class TileSelection { Plain, Selected };

// Paints one tile: its fill, its label, its size, and at depth 0 its nested children.
void draw_treemap_tile(kit::Buffer& buf, kit::Rect tile, kit::Color color, const DiskNode& node,
                       TileSelection selection, unsigned depth);

// The current folder's tiles inside `area` (the treemap panel's inner area).
void draw_treemap(const DiskView& view, kit::Buffer& buf, kit::Rect area);

}  // namespace bramvelt::tui
