#include "src/tui/disk_treemap.hpp"

#include <algorithm>
#include <cmath>

#include "src/cli/format.hpp"
#include "src/tui/kit/graphemes.hpp"
#include "src/tui/treemap.hpp"
#include "src/tui/widgets.hpp"

namespace bramvelt::tui {
namespace {

constexpr kit::Color kFolderPalette[] = {
    kit::Color::rgb(46, 196, 182),  kit::Color::rgb(138, 122, 240), kit::Color::rgb(245, 178, 77),
    kit::Color::rgb(240, 110, 125), kit::Color::rgb(96, 165, 250),  kit::Color::rgb(132, 204, 22),
    kit::Color::rgb(232, 121, 249), kit::Color::rgb(251, 146, 60),  kit::Color::rgb(56, 189, 248),
    kit::Color::rgb(163, 163, 255),
};
constexpr double kNestedShades[] = {0.72, 0.62, 0.8, 0.56, 0.68};

std::uint8_t channel(double v) {
    return static_cast<std::uint8_t>(std::clamp(std::round(v), 0.0, 255.0));
}

kit::Color darken(kit::Color color, double factor) {
    if (color.reset) return color;
    return kit::Color::rgb(channel(color.r * factor), channel(color.g * factor),
                           channel(color.b * factor));
}

// Positions of the children with a size, largest first (stable), at most `limit`.
std::vector<std::size_t> largest_children(const DiskNode& folder, std::size_t limit) {
    std::vector<std::size_t> list = nonempty_child_indices(folder);
    const auto children = node_children(folder);
    std::stable_sort(list.begin(), list.end(), [&](std::size_t a, std::size_t b) {
        return node_size(children[a]) > node_size(children[b]);
    });
    if (list.size() > limit) list.resize(limit);
    return list;
}

}  // namespace

std::vector<std::size_t> nonempty_child_indices(const DiskNode& folder) {
    std::vector<std::size_t> out;
    const auto children = node_children(folder);
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (node_size(children[i]) > 0) out.push_back(i);
    }
    return out;
}

std::vector<std::uint64_t> child_sizes(const DiskNode& folder,
                                       std::span<const std::size_t> indices) {
    std::vector<std::uint64_t> out;
    out.reserve(indices.size());
    const auto children = node_children(folder);
    for (std::size_t i : indices) out.push_back(node_size(children[i]));
    return out;
}

kit::Color folder_color(std::size_t rank) {
    return kFolderPalette[rank % 10];
}

kit::Color lighten(kit::Color color) {
    if (color.reset) return color;
    const auto up = [](std::uint8_t c) { return channel(c + (255.0 - c) * 0.35); };
    return kit::Color::rgb(up(color.r), up(color.g), up(color.b));
}

void draw_treemap_tile(kit::Buffer& buf, kit::Rect tile, kit::Color color, const DiskNode& node,
                       TileSelection selection, unsigned depth) {
    const std::uint32_t x = tile.x;
    const std::uint32_t y = tile.y;
    const std::uint32_t fw =
        std::min<std::uint32_t>(tile.width >= 3 ? tile.width - 1u : tile.width, 0xFFFF - x);
    const std::uint32_t fh =
        std::min<std::uint32_t>(tile.height >= 3 ? tile.height - 1u : tile.height, 0xFFFF - y);
    for (std::uint32_t row = y; row < y + fh; ++row) {
        for (std::uint32_t col = x; col < x + fw; ++col) {
            if (kit::Cell* cell = buf.cell(col, row)) cell->set_symbol(" ").set_bg(color);
        }
    }
    const kit::Style plain_text = kit::fg_bg(palette::kDarkText, color);
    const bool bold = depth == 0 || selection == TileSelection::Selected;
    const kit::Style text = bold ? plain_text.bold() : plain_text;
    if (fw <= 2) return;

    // The label and the caption beside it are measured in cells, so that a name of wide
    // characters is shortened to the tile and never runs under the caption.
    const auto lx = static_cast<std::uint16_t>(x + 1);
    std::string label = cli::escape_for_display(node_name(node));
    if (fh == 1 && kit::display_width(label) + 10 < fw) {
        label += ' ';
        label += cli::format_size(node_size(node));
    }
    label = truncate_end_to_width(label, fw - 1);
    buf.set_stringn(lx, static_cast<std::uint16_t>(y), label, fw - 1, text);

    const bool has_children = !node_children(node).empty();
    if (fh >= 2 && fw >= 8 && (depth != 0 || fh <= 4 || !has_children)) {
        buf.set_stringn(lx, static_cast<std::uint16_t>(y + 1), cli::format_size(node_size(node)),
                        fw - 1, plain_text);
    }
    if (depth != 0 || fh < 5 || fw < 12 || !has_children) return;

    const std::vector<std::size_t> nested = largest_children(node, kNestedTiles);
    const std::string caption = " " + cli::format_size(node_size(node));
    const std::size_t label_width = kit::display_width(label);
    if (label_width + kit::display_width(caption) + 2 < fw) {
        buf.set_stringn(static_cast<std::uint16_t>(x + label_width + 2),
                        static_cast<std::uint16_t>(y), caption, fw - 1, plain_text);
    }
    const kit::Rect region =
        kit::Rect::make(x + 1, y + 2, std::min<std::uint32_t>(fw - 2, 65534 - x),
                        std::min<std::uint32_t>(fh - 2, 65533 - y));
    const auto rects = squarify(child_sizes(node, nested), region);
    const auto children = node_children(node);
    for (std::size_t k = 0; k < nested.size(); ++k) {
        if (!rects[k]) continue;
        draw_treemap_tile(buf, *rects[k], darken(color, kNestedShades[k % 5]), children[nested[k]],
                          TileSelection::Plain, 1);
    }
}

void draw_treemap(const DiskView& view, kit::Buffer& buf, kit::Rect area) {
    const DiskNode* folder = current_folder(view);
    if (folder == nullptr) return;
    const std::vector<std::size_t> tiles = largest_children(*folder, kTopTiles);
    const auto rects = squarify(child_sizes(*folder, tiles), area);
    const DiskNode* selected = selected_node(view);
    const auto children = node_children(*folder);
    for (std::size_t k = 0; k < tiles.size(); ++k) {
        if (!rects[k]) continue;
        const std::size_t index = tiles[k];
        const DiskNode& child = children[index];
        kit::Color color = palette::kPlain;
        if (index < view.color_ranks.size() && view.color_ranks[index]) {
            color = folder_color(*view.color_ranks[index]);
        }
        TileSelection selection = TileSelection::Plain;
        if (selected != nullptr && node_path(*selected) == node_path(child)) {
            color = lighten(color);
            selection = TileSelection::Selected;
        }
        draw_treemap_tile(buf, *rects[k], color, child, selection, 0);
    }
}

}  // namespace bramvelt::tui
