#pragma once
// UTF-8 helpers for byte texts that come from the system (arguments, file names) and
// may not be UTF-8 at all.

#include <cstddef>
#include <string>
#include <string_view>

namespace bramvelt::platform {

bool is_valid_utf8(std::string_view bytes);

// Replaces each maximal ill-formed subsequence with one U+FFFD, as text decoders that
// follow the Unicode recommendation do; valid input comes back unchanged.
std::string to_utf8_lossy(std::string_view bytes);

// Decodes the code point at `pos` of valid UTF-8 text and advances `pos` past it.
// On an ill-formed sequence it yields U+FFFD and advances one byte.
char32_t next_code_point(std::string_view text, std::size_t& pos);

void append_utf8(std::string& out, char32_t code_point);

// The number of code points (Unicode scalar values) in valid UTF-8 text.
std::size_t count_code_points(std::string_view text);

// Unicode White_Space (ASCII blanks, NEL, NBSP, the U+2000 spaces, line and paragraph
// separators, ideographic space...).
bool is_white_space(char32_t code_point);

// The text without the white space around it.
std::string_view trim_white_space(std::string_view text);

}  // namespace bramvelt::platform
