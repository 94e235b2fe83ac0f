#pragma once
// The terminal: mode switches, its size, and a drawing surface that keeps the previous
// frame and writes only the cells that changed.
//
// Every mode switched on here (raw mode, alternate screen, mouse capture, hidden cursor)
// is recorded, so that `emergency_restore` can undo it from a fatal signal handler, an
// atexit hook or a terminate handler with nothing but tcsetattr and write.

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "src/tui/kit/buffer.hpp"

namespace bramvelt::tui::kit {

inline constexpr std::string_view kEnterAlternateScreen = "\x1b[?1049h";
inline constexpr std::string_view kLeaveAlternateScreen = "\x1b[?1049l";
inline constexpr std::string_view kEnableMouseCapture =
    "\x1b[?1000h\x1b[?1002h\x1b[?1003h\x1b[?1015h\x1b[?1006h";
inline constexpr std::string_view kDisableMouseCapture =
    "\x1b[?1006l\x1b[?1015l\x1b[?1003l\x1b[?1002l\x1b[?1000l";
inline constexpr std::string_view kHideCursor = "\x1b[?25l";
inline constexpr std::string_view kShowCursor = "\x1b[?25h";
inline constexpr std::string_view kClearAll = "\x1b[2J";

struct Size {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

// Raw mode on the terminal `fd` (usually standard input): no echo, no line editing, no
// signals from keys, bytes delivered one by one. The settings before the first switch
// are kept for `disable_raw_mode` and the emergency restore.
std::expected<void, std::string> enable_raw_mode(int fd);
std::expected<void, std::string> disable_raw_mode();
bool raw_mode_enabled();

// Each writes its sequence to `fd` and records the mode for the emergency restore.
std::expected<void, std::string> enter_alternate_screen(int fd);
std::expected<void, std::string> leave_alternate_screen(int fd);
std::expected<void, std::string> enable_mouse_capture(int fd);
std::expected<void, std::string> disable_mouse_capture(int fd);
// Pasted text then arrives marked, so it can be told apart from typed keys.
std::expected<void, std::string> enable_bracketed_paste(int fd);
std::expected<void, std::string> disable_bracketed_paste(int fd);

// The size of the terminal on `fd` (TIOCGWINSZ); when the system cannot tell, the
// numbers that `tput cols` and `tput lines` print.
std::expected<Size, std::string> terminal_size(int fd);

// Installs, once per process, the handlers that run `emergency_restore` on fatal
// signals that the process does not ignore (then let the signal take its previous
// course), at exit and on terminate (then call the terminate handler installed before).
// `first`, when given, runs before the restore in the signal and terminate handlers, so
// it must be async-signal-safe.
using FatalSignalStep = void (*)() noexcept;
void install_emergency_restore(FatalSignalStep first = nullptr);
// Async-signal-safe: restores the saved termios and writes the fixed sequences that
// turn off every recorded mode (mouse capture, alternate screen, hidden cursor).
void emergency_restore() noexcept;

// The modes switched on through this file, as recorded.
struct TerminalModes {
    int raw_fd = -1;  // the terminal in raw mode; -1 for none
    int out_fd = -1;  // where the sequences went
    bool alternate = false;
    bool mouse = false;
    bool paste = false;
};

TerminalModes recorded_modes();

// Gives the terminal back as the exit does (every recorded mode off, the cursor shown)
// and returns what was on, for `reapply_modes`.
TerminalModes release_modes();

// Switches `modes` on again: also those still recorded on, which something outside the
// program (a stop, the shell) may have undone. The error is the first failure's text.
std::expected<void, std::string> reapply_modes(const TerminalModes& modes);

// Whether drawing writes colours, or only symbols and text attributes.
enum class Colors { Off, On };

// The bytes that move the screen from `previous` to `next`: cursor moves, SGR
// attributes and 24-bit colours (left out with Colors::Off), then the symbols of the
// changed cells, ending with an attribute reset.
std::string render_diff(const Buffer& previous, const Buffer& next, Colors colors);

// On unless NO_COLOR is set to a non-empty value.
Colors colors_by_environment();

// A full-screen drawing surface over an output descriptor it does not own. Its
// destructor shows the cursor again (printing "Failed to show the cursor: ..." to
// standard error when that fails); it does not leave raw mode or the alternate screen.
class Terminal {
  public:
    using SizeSource = std::function<std::expected<Size, std::string>()>;

    // Reads the size once to lay out the first frame.
    static std::expected<Terminal, std::string> open(int out_fd);
    // For tests: a given size source and colour choice.
    static std::expected<Terminal, std::string> open(int out_fd, SizeSource size, Colors colors);

    ~Terminal();
    Terminal(Terminal&& other) noexcept;
    Terminal& operator=(Terminal&&) = delete;
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // One frame: resizes (clearing the screen) when the size changed, lets `draw` fill
    // a blank buffer over the whole screen, writes the changed cells and hides the
    // cursor. The error is the I/O failure's text.
    std::expected<void, std::string> draw(const std::function<void(Buffer&, Rect)>& draw);

    // Forgets the previous frame and clears the screen; the next draw writes every cell.
    std::expected<void, std::string> clear();
    Rect area() const { return current_.area(); }

  private:
    Terminal(int fd, SizeSource size, Colors colors, Size initial);
    int fd_;
    SizeSource size_;
    Colors colors_;
    bool cleared_ = false;
    bool active_ = true;
    Buffer current_;
    Buffer previous_;
};

}  // namespace bramvelt::tui::kit
