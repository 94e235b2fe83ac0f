#pragma once
// Paragraph: text in an area, optionally inside a block. Without wrapping each line is
// cut at the area's edge; with wrapping long lines break at word boundaries (a word
// wider than the area breaks anywhere), and may drop the white space at the start of
// every produced line. Cells the text does not reach keep their symbols and only
// take the paragraph's style, so a right-aligned line can be drawn over earlier text.

#include <optional>

#include "src/tui/kit/block.hpp"

namespace bramvelt::tui::kit {

// What wrapping does with the white space at the start of each produced line.
enum class LeadingSpace { Keep, Trim };

// Which end of the produced lines stays in view when they do not all fit.
enum class Anchor { Top, Bottom };

struct Wrap {
    LeadingSpace leading_space = LeadingSpace::Keep;
};

struct Paragraph {
    Text text;
    std::optional<Block> block;
    Style style;
    std::optional<Wrap> wrap;
    Alignment alignment = Alignment::Left;
    Anchor anchor = Anchor::Top;

    Paragraph() = default;
    explicit Paragraph(Text t) : text(std::move(t)) {}
    Paragraph& with_block(Block b) {
        block = std::move(b);
        return *this;
    }
    Paragraph& with_style(Style s) {
        style = s;
        return *this;
    }
    Paragraph& wrapped(LeadingSpace leading_space) {
        wrap = Wrap{leading_space};
        return *this;
    }
    Paragraph& anchored(Anchor a) {
        anchor = a;
        return *this;
    }
    Paragraph& aligned(Alignment a) {
        alignment = a;
        return *this;
    }
    void render(Rect area, Buffer& buf) const;
};

}  // namespace bramvelt::tui::kit
