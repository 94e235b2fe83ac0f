#include "src/cli/format.hpp"

#include <fmt/format.h>

#include <cstdlib>
#include <limits>

#include "platform/utf8.hpp"

namespace bramvelt::cli {
namespace {

// The marks and embeddings that reorder the text around them: shown raw, a name holding
// one makes the rest of a path read in another order than its bytes.
bool is_direction_control(char32_t c) {
    return c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string format_size(std::uint64_t bytes) {
    if (bytes < 1024) {
        return fmt::format("{} B", bytes);
    }
    constexpr std::uint64_t kMaxSigned = std::numeric_limits<std::int64_t>::max();
    double value = static_cast<double>(std::min(bytes, kMaxSigned)) / 1024.0;
    int divisions = 1;
    while (value >= 1024.0 && divisions < 4) {
        value /= 1024.0;
        ++divisions;
    }
    static constexpr const char* kUnits[] = {"", "KiB", "MiB", "GiB", "TiB"};
    return fmt::format("{:.1f} {}", value, kUnits[divisions]);
}

std::string format_count(std::uint64_t count) {
    const std::string digits = std::to_string(count);
    std::string out;
    out.reserve(digits.size() + digits.size() / 3);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            out += ',';
        }
        out += digits[i];
    }
    return out;
}

std::string format_age(std::optional<std::int64_t> then, std::int64_t now) {
    if (!then) {
        return "\u2014";
    }
    const std::uint64_t age =
        *then > now ? 0 : static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(*then);
    if (age < 3'600) return fmt::format("{}m", age / 60);
    if (age < 86'400) return fmt::format("{}h", age / 3'600);
    if (age < 5'184'000) return fmt::format("{}d", age / 86'400);
    if (age < 63'072'000) return fmt::format("{}mo", age / 2'592'000);
    return fmt::format("{}y", age / 31'536'000);
}

std::string escape_for_display(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        const char32_t c = platform::next_code_point(text, pos);
        switch (c) {
            case U'\t':
                out += "\\t";
                break;
            case U'\n':
                out += "\\n";
                break;
            case U'\r':
                out += "\\r";
                break;
            default:
                if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || is_direction_control(c)) {
                    out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
                } else if (c == U'\uFFFD') {
                    platform::append_utf8(out, c);
                } else {
                    out.append(text.substr(start, pos - start));
                }
        }
    }
    return out;
}

std::string display_path(std::string_view path, const std::optional<std::string>& home) {
    std::string escaped = escape_for_display(path);
    if (home && home->size() >= 2) {
        const std::string_view h = *home;
        if (escaped == h) {
            return "~";
        }
        if (escaped.size() > h.size() && escaped.starts_with(h) && escaped[h.size()] == '/') {
            return "~" + escaped.substr(h.size());
        }
    }
    return escaped;
}

std::optional<std::string> home_dir() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0' || !platform::is_valid_utf8(home)) {
        return std::nullopt;
    }
    return std::string(home);
}

std::string align_right(std::string_view text, std::size_t width) {
    const std::size_t chars = platform::count_code_points(text);
    std::string out(chars < width ? width - chars : 0, ' ');
    out += text;
    return out;
}

std::string align_left(std::string_view text, std::size_t width) {
    const std::size_t chars = platform::count_code_points(text);
    std::string out(text);
    out.append(chars < width ? width - chars : 0, ' ');
    return out;
}

}  // namespace bramvelt::cli
