#include "src/tui/kit/terminal.hpp"

#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>

#include <fmt/format.h>

#include "platform/io.hpp"
#include "platform/os_error.hpp"
#include "platform/spawn.hpp"

namespace bramvelt::tui::kit {
namespace {

constexpr std::string_view kEnableBracketedPaste = "\x1b[?2004h";
constexpr std::string_view kDisableBracketedPaste = "\x1b[?2004l";

// What the emergency restore must undo. Plain atomics and a termios copy written before
// its flag, so a signal handler can read them at any moment.
struct ModeRecord {
    termios original{};
    std::atomic<int> raw_fd{-1};
    std::atomic<int> out_fd{-1};
    std::atomic<bool> alternate{false};
    std::atomic<bool> mouse{false};
    std::atomic<bool> paste{false};
    std::atomic<bool> cursor_hidden{false};
};

// Constant-initialised, so a signal handler never runs a static initialiser.
constinit ModeRecord g_modes{};

ModeRecord& modes() {
    return g_modes;
}

// The error as the system's text, for callers that report it to the user.
std::expected<void, std::string> write_bytes(int fd, std::string_view bytes) {
    if (auto written = platform::write_all(fd, bytes); !written) {
        return std::unexpected(platform::os_error_text(written.error()));
    }
    return {};
}

constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV,
                                 SIGBUS, SIGFPE,  SIGILL, SIGABRT, SIGTRAP};
struct sigaction g_previous[NSIG];
std::terminate_handler g_previous_terminate = nullptr;
constinit std::atomic<FatalSignalStep> g_first_step{nullptr};

void on_fatal_signal(int sig) {
    const int saved = errno;
    if (const FatalSignalStep first = g_first_step.load()) first();
    emergency_restore();
    // Let the signal take the course it had before us: the previous handler, or the
    // default action that ends the process.
    ::sigaction(sig, &g_previous[sig], nullptr);
    ::raise(sig);
    errno = saved;
}

// Ends what the fatal-signal path ends and gives the terminal back, then leaves the
// ending to the handler that was there before (the program's own says why and exits);
// only without one, or should it return, does this abort.
void on_terminate() {
    if (const FatalSignalStep first = g_first_step.load()) first();
    emergency_restore();
    if (g_previous_terminate != nullptr) {
        g_previous_terminate();
    }
    std::abort();
}

void restore_at_exit() {
    emergency_restore();
}

// A number and a line end; anything longer is not an answer to parse.
constexpr std::size_t kMaxTputOutput = 256;

std::optional<std::uint16_t> tput_number(const char* what) {
    platform::SpawnOptions options;
    options.program = "tput";
    options.args = {what};
    options.out = platform::Stdio::pipe();
    options.err = platform::Stdio::null();
    auto child = platform::spawn(options);
    if (!child) return std::nullopt;
    // A read failure leaves nothing to parse; the child is still waited for.
    std::string output =
        platform::read_all(child->stdout_pipe().get(), kMaxTputOutput).value_or(std::string());
    auto status = child->wait_for(std::chrono::milliseconds(2000), std::chrono::milliseconds(5));
    if (!status || !*status || !(*status)->success()) return std::nullopt;
    while (!output.empty() &&
           (output.back() == '\n' || output.back() == '\r' || output.back() == ' ')) {
        output.pop_back();
    }
    std::uint16_t value = 0;
    const auto [end, ec] = std::from_chars(output.data(), output.data() + output.size(), value);
    if (ec != std::errc{} || end != output.data() + output.size() || output.empty()) {
        return std::nullopt;
    }
    return value;
}

void append_modifier_change(std::string& out, Modifier from, Modifier to) {
    const Modifier removed = from & ~to;
    const Modifier added = to & ~from;
    if (has(removed, Modifier::Reversed)) out += "\x1b[27m";
    if (has(removed, Modifier::Italic)) out += "\x1b[23m";
    if (has(removed, Modifier::Underlined)) out += "\x1b[24m";
    if (has(removed, Modifier::CrossedOut)) out += "\x1b[29m";
    // Bold and dim share one reset; put back whichever of them stays.
    const bool intensity_reset = has(removed, Modifier::Bold) || has(removed, Modifier::Dim);
    if (intensity_reset) out += "\x1b[22m";
    if (has(added, Modifier::Reversed)) out += "\x1b[7m";
    if (has(added, Modifier::Bold) || (intensity_reset && has(to, Modifier::Bold)))
        out += "\x1b[1m";
    if (has(added, Modifier::Dim) || (intensity_reset && has(to, Modifier::Dim))) out += "\x1b[2m";
    if (has(added, Modifier::Italic)) out += "\x1b[3m";
    if (has(added, Modifier::Underlined)) out += "\x1b[4m";
    if (has(added, Modifier::CrossedOut)) out += "\x1b[9m";
}

enum class Layer { Foreground, Background };

void append_color(std::string& out, const Color& c, Layer layer) {
    const bool foreground = layer == Layer::Foreground;
    if (c.reset) {
        out += foreground ? "\x1b[39m" : "\x1b[49m";
    } else {
        fmt::format_to(std::back_inserter(out), "\x1b[{};2;{};{};{}m", foreground ? 38 : 48, c.r,
                       c.g, c.b);
    }
}

}  // namespace

std::expected<void, std::string> enable_raw_mode(int fd) {
    ModeRecord& m = modes();
    if (m.raw_fd.load() >= 0) {
        return {};
    }
    termios original{};
    if (::tcgetattr(fd, &original) != 0) {
        return std::unexpected(platform::os_error_text(errno));
    }
    termios raw = original;
    ::cfmakeraw(&raw);
    m.original = original;
    m.raw_fd.store(fd);
    if (::tcsetattr(fd, TCSANOW, &raw) != 0) {
        const int err = errno;
        m.raw_fd.store(-1);
        return std::unexpected(platform::os_error_text(err));
    }
    return {};
}

std::expected<void, std::string> disable_raw_mode() {
    ModeRecord& m = modes();
    const int fd = m.raw_fd.load();
    if (fd < 0) {
        return {};
    }
    if (::tcsetattr(fd, TCSANOW, &m.original) != 0) {
        return std::unexpected(platform::os_error_text(errno));
    }
    m.raw_fd.store(-1);
    return {};
}

bool raw_mode_enabled() {
    return modes().raw_fd.load() >= 0;
}

std::expected<void, std::string> enter_alternate_screen(int fd) {
    modes().out_fd.store(fd);
    modes().alternate.store(true);
    return write_bytes(fd, kEnterAlternateScreen);
}

std::expected<void, std::string> leave_alternate_screen(int fd) {
    auto r = write_bytes(fd, kLeaveAlternateScreen);
    if (r) modes().alternate.store(false);
    return r;
}

std::expected<void, std::string> enable_mouse_capture(int fd) {
    modes().out_fd.store(fd);
    modes().mouse.store(true);
    return write_bytes(fd, kEnableMouseCapture);
}

std::expected<void, std::string> disable_mouse_capture(int fd) {
    auto r = write_bytes(fd, kDisableMouseCapture);
    if (r) modes().mouse.store(false);
    return r;
}

std::expected<void, std::string> enable_bracketed_paste(int fd) {
    modes().out_fd.store(fd);
    modes().paste.store(true);
    return write_bytes(fd, kEnableBracketedPaste);
}

std::expected<void, std::string> disable_bracketed_paste(int fd) {
    auto r = write_bytes(fd, kDisableBracketedPaste);
    if (r) modes().paste.store(false);
    return r;
}

std::expected<Size, std::string> terminal_size(int fd) {
    winsize ws{};
    if (::ioctl(fd, TIOCGWINSZ, &ws) == 0) {
        return Size{ws.ws_col, ws.ws_row};
    }
    const int err = errno;
    const auto cols = tput_number("cols");
    const auto lines = tput_number("lines");
    if (cols && lines) {
        return Size{*cols, *lines};
    }
    return std::unexpected(platform::os_error_text(err));
}

void install_emergency_restore(FatalSignalStep first) {
    static std::once_flag once;
    std::call_once(once, [first] {
        g_first_step.store(first);
        for (int sig : kFatalSignals) {
            // A signal the process ignores (SIGHUP under nohup, for one) does not end it;
            // restoring the terminal on it would leave a running program drawing on the
            // normal screen.
            if (::sigaction(sig, nullptr, &g_previous[sig]) != 0 ||
                g_previous[sig].sa_handler == SIG_IGN) {
                continue;
            }
            struct sigaction action {};
            action.sa_handler = on_fatal_signal;
            sigemptyset(&action.sa_mask);
            ::sigaction(sig, &action, &g_previous[sig]);
        }
        g_previous_terminate = std::set_terminate(on_terminate);
        std::atexit(restore_at_exit);
    });
}

namespace {

// Async-signal-safe: tcsetattr, write(2) (platform::write_all allocates nothing) and
// atomics. Nothing can be done about a failure here.
TerminalModes release_recorded_modes() noexcept {
    ModeRecord& m = modes();
    TerminalModes released;
    released.raw_fd = m.raw_fd.exchange(-1);
    if (released.raw_fd >= 0) {
        ::tcsetattr(released.raw_fd, TCSANOW, &m.original);
    }
    released.out_fd = m.out_fd.load();
    if (released.out_fd < 0) {
        return released;
    }
    const int out = released.out_fd;
    released.mouse = m.mouse.exchange(false);
    released.paste = m.paste.exchange(false);
    released.alternate = m.alternate.exchange(false);
    if (released.mouse) (void)platform::write_all(out, kDisableMouseCapture);
    if (released.paste) (void)platform::write_all(out, kDisableBracketedPaste);
    if (released.alternate) (void)platform::write_all(out, kLeaveAlternateScreen);
    if (m.cursor_hidden.exchange(false)) (void)platform::write_all(out, kShowCursor);
    return released;
}

}  // namespace

void emergency_restore() noexcept {
    (void)release_recorded_modes();
}

TerminalModes recorded_modes() {
    const ModeRecord& m = modes();
    return TerminalModes{m.raw_fd.load(), m.out_fd.load(), m.alternate.load(), m.mouse.load(),
                         m.paste.load()};
}

TerminalModes release_modes() {
    return release_recorded_modes();
}

std::expected<void, std::string> reapply_modes(const TerminalModes& wanted) {
    if (wanted.raw_fd >= 0) {
        if (modes().raw_fd.load() < 0) {
            // Released: the settings to come back to are the ones found now.
            if (auto r = enable_raw_mode(wanted.raw_fd); !r) return r;
        } else {
            termios raw = modes().original;
            ::cfmakeraw(&raw);
            if (::tcsetattr(wanted.raw_fd, TCSANOW, &raw) != 0) {
                return std::unexpected(platform::os_error_text(errno));
            }
        }
    }
    if (wanted.out_fd < 0) return {};
    if (wanted.alternate) {
        if (auto r = enter_alternate_screen(wanted.out_fd); !r) return r;
    }
    if (wanted.mouse) {
        if (auto r = enable_mouse_capture(wanted.out_fd); !r) return r;
    }
    if (wanted.paste) {
        if (auto r = enable_bracketed_paste(wanted.out_fd); !r) return r;
    }
    return {};
}

Colors colors_by_environment() {
    const char* value = std::getenv("NO_COLOR");
    return value == nullptr || *value == '\0' ? Colors::On : Colors::Off;
}

std::string render_diff(const Buffer& previous, const Buffer& next, Colors colors) {
    std::string out;
    const auto updates = next.diff(previous);
    if (updates.empty()) {
        return out;
    }
    Color fg;
    Color bg;
    Modifier modifier = Modifier::None;
    bool have_pos = false;
    std::uint16_t last_x = 0;
    std::uint16_t last_y = 0;
    for (const CellUpdate& u : updates) {
        if (!have_pos || u.y != last_y || u.x != last_x + 1) {
            fmt::format_to(std::back_inserter(out), "\x1b[{};{}H", u.y + 1, u.x + 1);
        }
        have_pos = true;
        last_x = u.x;
        last_y = u.y;
        const Cell& cell = *u.cell;
        if (cell.modifier != modifier) {
            append_modifier_change(out, modifier, cell.modifier);
            modifier = cell.modifier;
        }
        if (colors == Colors::On && (cell.fg != fg || cell.bg != bg)) {
            append_color(out, cell.fg, Layer::Foreground);
            append_color(out, cell.bg, Layer::Background);
            fg = cell.fg;
            bg = cell.bg;
        }
        out += cell.symbol;
        // The terminal moves on by the symbol's width; after anything but one cell the
        // next symbol gets an explicit position (a zero-width symbol does not move the
        // cursor at all, and terminals disagree on some wide ones).
        if (cell.width() != 1) have_pos = false;
    }
    out += "\x1b[0m";
    return out;
}

std::expected<Terminal, std::string> Terminal::open(int out_fd) {
    return open(
        out_fd, [out_fd] { return terminal_size(out_fd); }, colors_by_environment());
}

std::expected<Terminal, std::string> Terminal::open(int out_fd, SizeSource size, Colors colors) {
    auto initial = size();
    if (!initial) {
        return std::unexpected(initial.error());
    }
    return Terminal(out_fd, std::move(size), colors, *initial);
}

Terminal::Terminal(int fd, SizeSource size, Colors colors, Size initial)
    : fd_(fd),
      size_(std::move(size)),
      colors_(colors),
      current_(Rect{0, 0, initial.width, initial.height}),
      previous_(Rect{0, 0, initial.width, initial.height}) {}

Terminal::Terminal(Terminal&& other) noexcept
    : fd_(other.fd_),
      size_(std::move(other.size_)),
      colors_(other.colors_),
      cleared_(other.cleared_),
      active_(std::exchange(other.active_, false)),
      current_(std::move(other.current_)),
      previous_(std::move(other.previous_)) {}

Terminal::~Terminal() {
    if (!active_ || !modes().cursor_hidden.load()) {
        return;
    }
    if (auto r = write_bytes(fd_, kShowCursor); !r) {
        std::fputs(fmt::format("Failed to show the cursor: {}\n", r.error()).c_str(), stderr);
        return;
    }
    modes().cursor_hidden.store(false);
}

std::expected<void, std::string> Terminal::clear() {
    previous_.reset();
    cleared_ = true;
    return write_bytes(fd_, kClearAll);
}

std::expected<void, std::string> Terminal::draw(const std::function<void(Buffer&, Rect)>& draw) {
    auto size = size_();
    if (!size) {
        return std::unexpected(size.error());
    }
    const Rect area{0, 0, size->width, size->height};
    if (area != current_.area()) {
        current_.resize(area);
        previous_.resize(area);
        cleared_ = false;
    }
    if (!cleared_) {
        if (auto r = clear(); !r) return r;
    }
    current_.reset();
    draw(current_, current_.area());
    std::string bytes = render_diff(previous_, current_, colors_);
    modes().out_fd.store(fd_);
    modes().cursor_hidden.store(true);
    bytes += kHideCursor;
    if (auto r = write_bytes(fd_, bytes); !r) {
        return r;
    }
    std::swap(previous_, current_);
    return {};
}

}  // namespace bramvelt::tui::kit
