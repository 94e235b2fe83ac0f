#include "core/cleanup/sanitize.hpp"

#include <algorithm>

#include "platform/utf8.hpp"

namespace bramvelt::cleanup {

std::string sanitize_report_text(std::string_view text) {
    std::string out;
    out.reserve(std::min(text.size(), kMaxReportCharacters * 4));
    std::size_t pos = 0;
    for (std::size_t characters = 0; pos < text.size() && characters < kMaxReportCharacters;
         ++characters) {
        const char32_t c = platform::next_code_point(text, pos);
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            out.push_back(' ');
        } else {
            platform::append_utf8(out, c);
        }
    }
    return out;
}

}  // namespace bramvelt::cleanup
