#pragma once
// Splits text into grapheme clusters with their display widths (utf8proc). Control
// characters never come out raw: each becomes U+FFFD, so nothing drawn can steer the
// terminal. Invalid UTF-8 also reads as U+FFFD.

#include <cstddef>
#include <string>
#include <string_view>

namespace bramvelt::tui::kit {

class GraphemeIterator {
  public:
    explicit GraphemeIterator(std::string_view text) : text_(text) {}
    // Writes the next cluster into `symbol` and its width in cells (0, 1 or 2);
    // false at the end of the text.
    bool next(std::string& symbol, int& width);

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
    int state_ = 0;
    char32_t pending_ = 0;
    bool has_pending_ = false;
};

// Cells that a cluster takes as terminals draw it: the widest of its code points, at
// most 2; an emoji presentation sequence (a base and U+FE0F) and a flag (two regional
// indicators) take 2. The iterator measures clusters the same way.
int symbol_width(std::string_view symbol);

// Cells that the text takes when drawn (zero-width clusters take none).
std::size_t display_width(std::string_view text);

// True for C0 controls, DEL and C1 controls.
constexpr bool is_control(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// The text with every control character replaced by U+FFFD.
std::string sanitize_symbol(std::string_view text);

}  // namespace bramvelt::tui::kit
