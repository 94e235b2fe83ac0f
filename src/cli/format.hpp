#pragma once
// Text helpers shared by the command line and the terminal interface, so that sizes,
// counts, ages and paths read the same everywhere.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bramvelt::cli {

// "0 B".."1023 B", then one decimal and a binary unit up to TiB ("1.5 KiB").
std::string format_size(std::uint64_t bytes);

// Decimal digits with "," between groups of three ("1,234,567").
std::string format_count(std::uint64_t count);

// Age of `then` at `now` in m, h, d, mo (30 days) or y (365 days); "—" without a time.
std::string format_age(std::optional<std::int64_t> then, std::int64_t now);

// Tab, line feed and carriage return as \t \n \r; other control characters (below
// U+0020 and U+007F..U+009F) and the bidirectional controls (U+200E, U+200F,
// U+202A..U+202E, U+2066..U+2069) as \u{hex}.
std::string escape_for_display(std::string_view text);

// The escaped path with the home folder shown as "~" (only on a component boundary).
std::string display_path(std::string_view path, const std::optional<std::string>& home);

// `text` padded with spaces to `width` characters (not bytes or cells), on the left or
// on the right; a longer text comes back whole.
std::string align_right(std::string_view text, std::size_t width);
std::string align_left(std::string_view text, std::size_t width);

// HOME when it is set, UTF-8 and not empty.
std::optional<std::string> home_dir();

}  // namespace bramvelt::cli
