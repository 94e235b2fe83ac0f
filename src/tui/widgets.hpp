#pragma once
// Small drawing helpers that several screens share: the interface's palette, the
// bordered panel and popup blocks, the one-line input display, text shortening by
// characters, the usage bar, the view tab labels, centred rectangles and the editing
// keys (and pastes) of one-line text inputs. None holds state; each builds a value to draw.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "src/tui/kit/block.hpp"
#include "src/tui/kit/input.hpp"

namespace bramvelt::tui {

namespace palette {
inline constexpr kit::Color kLight = kit::Color::rgb(222, 226, 232);
inline constexpr kit::Color kAccent = kit::Color::rgb(46, 212, 196);
inline constexpr kit::Color kMuted = kit::Color::rgb(130, 138, 150);
inline constexpr kit::Color kDim = kit::Color::rgb(70, 76, 86);
inline constexpr kit::Color kWarning = kit::Color::rgb(245, 178, 77);
inline constexpr kit::Color kError = kit::Color::rgb(240, 92, 107);
inline constexpr kit::Color kSuccess = kit::Color::rgb(120, 214, 140);
inline constexpr kit::Color kSelection = kit::Color::rgb(44, 56, 70);
inline constexpr kit::Color kSurface = kit::Color::rgb(28, 31, 38);
inline constexpr kit::Color kViolet = kit::Color::rgb(138, 122, 240);
inline constexpr kit::Color kDarkText = kit::Color::rgb(16, 18, 22);
inline constexpr kit::Color kPlain = kit::Color::rgb(95, 104, 118);
}  // namespace palette

// Whether a panel holds the keyboard focus.
enum class Focus { Unfocused, Focused };

// Draws rounded borders in accent (focused) or dim, with the title in light bold at the
// top left; the inside is left as it is.
kit::Block panel_block(std::string_view title, Focus focus);

// The same block, taking over a title already built.
kit::Block table_panel_block(std::string&& title, Focus focus);

// Draws a focused panel that also paints its whole rectangle light on surface; callers
// clear the rectangle first.
kit::Block popup_block(std::string_view title);

// " label " in accent bold, the text as typed, then the cursor bar "▏" in accent.
kit::Line input_line(std::string_view label, std::string_view text);

// At most `max` characters (not cells), keeping the end: "…" and the last max − 1.
std::string truncate_start(std::string_view text, std::size_t max);

// At most `max` characters, keeping the start: the first max − 1 and "…".
std::string truncate_end(std::string_view text, std::size_t max);

// At most `cells` display cells as the terminal draws them, keeping the start: the
// clusters that fit in cells − 1, then "…". For text placed beside other text by cells.
std::string truncate_end_to_width(std::string_view text, std::size_t cells);

// Exactly `width` characters: full blocks, one partial block in eighths, then spaces.
std::string usage_bar(std::size_t width, double ratio);

// Whether a view tab is the one shown.
enum class Tab { Inactive, Active };

// A view tab of the title bar: " key ", "label " and a space.
kit::Line tab_label(std::string_view label, std::string_view key, Tab tab);

// At most width × height, centred in `area` (offsets rounded down).
kit::Rect centered_rect(kit::Rect area, std::uint32_t width, std::uint32_t height);

// The spinner frame for a draw counter: one of ten braille dots, turning by one per draw.
std::string_view spinner_frame(std::uint64_t tick);

// Characters (Unicode scalar values; an ill-formed byte counts as one) of a text.
std::size_t char_count(std::string_view text);

// Applies an editing key to a one-line input (the caret is always at the end); returns
// whether the key counts as a change.
bool edit_text_input(std::string& text, const kit::KeyEvent& key);

// Appends pasted text to a one-line input without what typing could not produce there:
// control characters, line and paragraph breaks. Returns whether the line changed.
bool paste_text_input(std::string& text, std::string_view pasted);

}  // namespace bramvelt::tui
