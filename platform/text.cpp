#include "platform/text.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <ranges>
#include <span>

#include "platform/utf8.hpp"

namespace bramvelt::platform {
namespace {

// Unicode's Cased property. Beyond the letter categories it holds a few symbols and
// number forms (ª, º, Roman numerals, circled and squared letters); the other members of
// Other_Lowercase are modifier letters, which the sigma rule skips as case-ignorable anyway.
bool is_cased(char32_t c) {
    const auto category = utf8proc_category(static_cast<utf8proc_int32_t>(c));
    if (category == UTF8PROC_CATEGORY_LU || category == UTF8PROC_CATEGORY_LL ||
        category == UTF8PROC_CATEGORY_LT) {
        return true;
    }
    return c == 0xAA || c == 0xBA || (c >= 0x2160 && c <= 0x217F) || (c >= 0x24B6 && c <= 0x24E9) ||
           (c >= 0x1F130 && c <= 0x1F149) || (c >= 0x1F150 && c <= 0x1F169) ||
           (c >= 0x1F170 && c <= 0x1F189);
}

// Unicode's Case_Ignorable property: marks, format characters, modifiers, and the
// apostrophes, periods and colons that may stand inside a word.
bool is_case_ignorable(char32_t c) {
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
        case UTF8PROC_CATEGORY_MN:
        case UTF8PROC_CATEGORY_ME:
        case UTF8PROC_CATEGORY_CF:
        case UTF8PROC_CATEGORY_LM:
        case UTF8PROC_CATEGORY_SK:
            return true;
        default:
            break;
    }
    static constexpr char32_t in_word[] = {0x0027, 0x002E, 0x003A, 0x00B7, 0x0387, 0x055F,
                                           0x05F4, 0x2018, 0x2019, 0x2024, 0x2027, 0xFE13,
                                           0xFE52, 0xFE55, 0xFF07, 0xFF0E, 0xFF1A};
    return std::ranges::find(in_word, c) != std::end(in_word);
}

// Whether a cased letter comes first after skipping case-ignorable characters.
template <typename Range>
bool case_ignorable_then_cased(const Range& code_points) {
    for (const char32_t c : code_points) {
        if (!is_case_ignorable(c)) return is_cased(c);
    }
    return false;
}

}  // namespace

std::vector<std::string> split_lines(std::string_view bytes) {
    const std::string text = to_utf8_lossy(bytes);
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t end = std::min(text.find('\n', pos), text.size());
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        pos = end + 1;
    }
    if (!lines.empty() && lines.back().empty() && (text.empty() || text.back() == '\n')) {
        lines.pop_back();
    }
    return lines;
}

std::vector<std::string_view> zero_separated_records(std::string_view bytes) {
    std::vector<std::string_view> records;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t end = std::min(bytes.find('\0', pos), bytes.size());
        if (end > pos) records.push_back(bytes.substr(pos, end - pos));
        pos = end + 1;
    }
    return records;
}

std::vector<std::string> split_on_zero_bytes(std::string_view bytes) {
    std::vector<std::string> out;
    for (const std::string_view record : zero_separated_records(bytes)) {
        out.push_back(to_utf8_lossy(record));
    }
    return out;
}

std::string lower_case(std::string_view text) {
    std::vector<char32_t> code_points;
    code_points.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        code_points.push_back(next_code_point(text, pos));
    }
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < code_points.size(); ++i) {
        const char32_t c = code_points[i];
        if (c == U'\u0130') {
            // The one unconditional full mapping that the simple mapping lacks.
            out += "i\u0307";
        } else if (c == U'\u03A3') {
            // Final sigma: a cased letter before it and none after it, looking past
            // apostrophes, marks and the like on both sides.
            const std::span<const char32_t> before(code_points.data(), i);
            const std::span<const char32_t> after(code_points.data() + i + 1,
                                                  code_points.size() - i - 1);
            const bool final = case_ignorable_then_cased(std::views::reverse(before)) &&
                               !case_ignorable_then_cased(after);
            out += final ? "\u03C2" : "\u03C3";
        } else {
            append_utf8(out,
                        static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c))));
        }
    }
    return out;
}

}  // namespace bramvelt::platform
