#include "src/tui/kit/graphemes.hpp"

#include <utf8proc.h>

#include <algorithm>

#include "platform/utf8.hpp"

namespace bramvelt::tui::kit {
namespace {

constexpr char32_t kReplacement = U'\uFFFD';
// Variation selector 16 asks for the emoji form, which terminals draw two cells wide.
constexpr char32_t kEmojiPresentation = U'\uFE0F';

constexpr bool is_regional_indicator(char32_t c) {
    return c >= 0x1F1E6 && c <= 0x1F1FF;
}

char32_t decode(std::string_view text, std::size_t& pos) {
    const char32_t c = platform::next_code_point(text, pos);
    return is_control(c) ? kReplacement : c;
}

int code_point_width(char32_t c) {
    const int w = utf8proc_charwidth(static_cast<utf8proc_int32_t>(c));
    return std::clamp(w, 0, 2);
}

// The one measure of a cluster, fed its code points in order: the widest of them, except
// that an emoji presentation selector after a base and a pair of regional indicators (a
// flag) make the cluster two cells, as terminals draw them.
class ClusterWidth {
  public:
    void add(char32_t c) {
        if (c == kEmojiPresentation && count_ > 0) {
            width_ = 2;
        } else if (is_regional_indicator(c) && ++indicators_ == 2) {
            width_ = 2;
        } else {
            width_ = std::max(width_, code_point_width(c));
        }
        ++count_;
    }
    int width() const { return width_; }

  private:
    int width_ = 0;
    int indicators_ = 0;
    int count_ = 0;
};

}  // namespace

bool GraphemeIterator::next(std::string& symbol, int& width) {
    symbol.clear();
    width = 0;
    if (!has_pending_) {
        if (pos_ >= text_.size()) {
            return false;
        }
        pending_ = decode(text_, pos_);
        has_pending_ = true;
    }
    char32_t current = pending_;
    has_pending_ = false;
    platform::append_utf8(symbol, current);
    ClusterWidth measure;
    measure.add(current);
    while (pos_ < text_.size()) {
        const char32_t following = decode(text_, pos_);
        if (utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(current),
                                             static_cast<utf8proc_int32_t>(following), &state_)) {
            pending_ = following;
            has_pending_ = true;
            break;
        }
        platform::append_utf8(symbol, following);
        measure.add(following);
        current = following;
    }
    width = measure.width();
    if (!has_pending_) {
        state_ = 0;
    }
    return true;
}

int symbol_width(std::string_view symbol) {
    ClusterWidth measure;
    std::size_t pos = 0;
    while (pos < symbol.size()) {
        measure.add(decode(symbol, pos));
    }
    return measure.width();
}

std::size_t display_width(std::string_view text) {
    GraphemeIterator it(text);
    std::string symbol;
    int width = 0;
    std::size_t total = 0;
    while (it.next(symbol, width)) {
        total += static_cast<std::size_t>(width);
    }
    return total;
}

std::string sanitize_symbol(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        platform::append_utf8(out, decode(text, pos));
    }
    return out;
}

}  // namespace bramvelt::tui::kit
