#include "src/tui/kit/input.hpp"

#include <poll.h>
#include <termkey.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>

#include "platform/io.hpp"
#include "platform/os_error.hpp"
#include "platform/pipe.hpp"
#include "src/tui/kit/terminal.hpp"

namespace bramvelt::tui::kit {
namespace {

std::atomic<int> g_wake_fd{-1};
// What the handlers saw, taken by the poll that the wake-up byte ends.
std::atomic<bool> g_resized{false};
std::atomic<bool> g_stop_asked{false};
std::atomic<bool> g_continued{false};

// The signals an EventSource watches; SIGTSTP only where it had its default action (a
// shell without job control leaves it ignored, and nothing could continue us).
constexpr int kWatched[] = {SIGWINCH, SIGTSTP, SIGCONT};
struct sigaction g_previous[std::size(kWatched)];
bool g_installed[std::size(kWatched)] = {};

void on_signal(int sig) {
    const int saved = errno;
    if (sig == SIGWINCH) g_resized.store(true);
    if (sig == SIGTSTP) g_stop_asked.store(true);
    if (sig == SIGCONT) g_continued.store(true);
    const int fd = g_wake_fd.load();
    if (fd >= 0) {
        // Async-signal-safe (write(2) and errno only). A full pipe already holds a wake-up.
        (void)platform::write_all(fd, "w");
    }
    errno = saved;
}

void restore_watched_signals() {
    for (std::size_t i = 0; i < std::size(kWatched); ++i) {
        if (g_installed[i]) ::sigaction(kWatched[i], &g_previous[i], nullptr);
        g_installed[i] = false;
    }
}

std::optional<int> install_watched_signals() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kWatched); ++i) {
        if (kWatched[i] == SIGTSTP) {
            struct sigaction current {};
            if (::sigaction(SIGTSTP, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) {
                continue;
            }
        }
        if (::sigaction(kWatched[i], &action, &g_previous[i]) != 0) {
            const int err = errno;
            restore_watched_signals();
            return err;
        }
        g_installed[i] = true;
    }
    return std::nullopt;
}

// One event for the signals seen since the last call, a stop first.
std::optional<Event> signal_event(int fd) {
    if (g_stop_asked.exchange(false)) return StopEvent{};
    if (g_continued.exchange(false)) return ContinueEvent{};
    if (!g_resized.exchange(false)) return std::nullopt;
    ResizeEvent resize;
    if (auto size = terminal_size(fd)) {
        resize.width = size->width;
        resize.height = size->height;
    }
    return resize;
}

std::uint8_t modifiers_of(int termkey_mods) {
    std::uint8_t m = key_modifiers::None;
    if (termkey_mods & TERMKEY_KEYMOD_SHIFT) m |= key_modifiers::Shift;
    if (termkey_mods & TERMKEY_KEYMOD_CTRL) m |= key_modifiers::Control;
    if (termkey_mods & TERMKEY_KEYMOD_ALT) m |= key_modifiers::Alt;
    return m;
}

KeyCode code_of(TermKeySym sym) {
    switch (sym) {
        case TERMKEY_SYM_BACKSPACE:
        case TERMKEY_SYM_DEL:
            return KeyCode::Backspace;
        case TERMKEY_SYM_TAB:
            return KeyCode::Tab;
        case TERMKEY_SYM_ENTER:
        case TERMKEY_SYM_KPENTER:
            return KeyCode::Enter;
        case TERMKEY_SYM_ESCAPE:
            return KeyCode::Esc;
        case TERMKEY_SYM_UP:
            return KeyCode::Up;
        case TERMKEY_SYM_DOWN:
            return KeyCode::Down;
        case TERMKEY_SYM_LEFT:
            return KeyCode::Left;
        case TERMKEY_SYM_RIGHT:
            return KeyCode::Right;
        case TERMKEY_SYM_HOME:
        case TERMKEY_SYM_FIND:
            return KeyCode::Home;
        case TERMKEY_SYM_END:
        case TERMKEY_SYM_SELECT:
            return KeyCode::End;
        case TERMKEY_SYM_PAGEUP:
            return KeyCode::PageUp;
        case TERMKEY_SYM_PAGEDOWN:
            return KeyCode::PageDown;
        case TERMKEY_SYM_INSERT:
            return KeyCode::Insert;
        case TERMKEY_SYM_DELETE:
            return KeyCode::Delete;
        default:
            return KeyCode::Null;
    }
}

std::optional<Event> convert(TermKey* tk, const TermKeyKey& key) {
    switch (key.type) {
        case TERMKEY_TYPE_UNICODE: {
            KeyEvent e;
            e.code = KeyCode::Char;
            e.ch = static_cast<char32_t>(key.code.codepoint);
            e.modifiers = modifiers_of(key.modifiers);
            if (e.ch == U'h' && e.modifiers == key_modifiers::Control) {
                // 0x08: what Backspace sends on many terminals.
                return KeyEvent{KeyCode::Backspace};
            }
            return e;
        }
        case TERMKEY_TYPE_FUNCTION: {
            KeyEvent e;
            e.code = KeyCode::F;
            e.function = static_cast<std::uint8_t>(std::clamp(key.code.number, 0, 255));
            e.modifiers = modifiers_of(key.modifiers);
            return e;
        }
        case TERMKEY_TYPE_KEYSYM: {
            KeyEvent e;
            e.code = code_of(key.code.sym);
            e.modifiers = modifiers_of(key.modifiers);
            if (e.code == KeyCode::Tab && (e.modifiers & key_modifiers::Shift)) {
                e.code = KeyCode::BackTab;
            }
            return e;
        }
        case TERMKEY_TYPE_MOUSE: {
            TermKeyMouseEvent kind{};
            int button = 0;
            int line = 0;
            int col = 0;
            if (termkey_interpret_mouse(tk, &key, &kind, &button, &line, &col) != TERMKEY_RES_KEY) {
                return std::nullopt;
            }
            MouseEvent e;
            e.column = static_cast<std::uint16_t>(std::clamp(col - 1, 0, 0xFFFF));
            e.row = static_cast<std::uint16_t>(std::clamp(line - 1, 0, 0xFFFF));
            e.modifiers = modifiers_of(key.modifiers);
            // The urxvt encoding reaches us with its +32 offset kept, which reads as a
            // drag; a wheel never drags, so either kind with a wheel button is a step.
            if ((kind == TERMKEY_MOUSE_PRESS || kind == TERMKEY_MOUSE_DRAG) &&
                (button == 4 || button == 5)) {
                e.kind = button == 4 ? MouseKind::ScrollUp : MouseKind::ScrollDown;
            } else if (kind == TERMKEY_MOUSE_PRESS && button >= 1 && button <= 3) {
                e.kind = MouseKind::Down;
                e.button = button;
            } else if (kind == TERMKEY_MOUSE_RELEASE) {
                e.kind = MouseKind::Up;
                e.button = button >= 1 && button <= 3 ? button : 0;
            } else if (kind == TERMKEY_MOUSE_DRAG && button >= 1 && button <= 3) {
                e.kind = MouseKind::Drag;
                e.button = button;
            } else {
                e.kind = MouseKind::Moved;
            }
            return e;
        }
        default:
            // Position, mode and string reports: nothing we asked for.
            return std::nullopt;
    }
}

// Terminfo describes xterm's mouse prefix as "\e[<", which the terminfo key table would
// read as an old-style report; leaving it out lets the CSI parser read SGR reports.
// Terminfo also names the modified function keys F13 and up (Shift-F1 is "F13"); left
// out, the CSI parser reads them as F1..F12 with their modifiers, as bindings expect.
const char* without_terminfo_mouse(const char* name, const char* value, void*) {
    const std::string_view n(name);
    if (n == "key_mouse") {
        return nullptr;
    }
    if (n.starts_with("key_f") && n.size() > 5) {
        int number = 0;
        const auto [end, ec] = std::from_chars(n.data() + 5, n.data() + n.size(), number);
        if (ec == std::errc{} && end == n.data() + n.size() && number >= 13) {
            return nullptr;
        }
    }
    return value;
}

}  // namespace

InputDecoder::InputDecoder(const char* term) {
    if (term == nullptr) {
        term = std::getenv("TERM");
    }
    constexpr int kFlags =
        TERMKEY_FLAG_UTF8 | TERMKEY_FLAG_NOTERMIOS | TERMKEY_FLAG_CONVERTKP | TERMKEY_FLAG_NOSTART;
    tk_ = termkey_new_abstract(term != nullptr ? term : "xterm", kFlags);
    if (tk_ == nullptr) {
        tk_ = termkey_new_abstract("xterm", kFlags);
    }
    if (tk_ == nullptr) {
        return;
    }
    termkey_hook_terminfo_getstr(tk_, without_terminfo_mouse, nullptr);
    termkey_start(tk_);
    termkey_set_canonflags(tk_, termkey_get_canonflags(tk_) | TERMKEY_CANON_DELBS);
}

InputDecoder::~InputDecoder() {
    if (tk_ != nullptr) {
        termkey_destroy(tk_);
    }
}

InputDecoder::InputDecoder(InputDecoder&& other) noexcept
    : tk_(std::exchange(other.tk_, nullptr)),
      pending_(other.pending_),
      in_paste_(other.in_paste_),
      paste_(std::move(other.paste_)),
      chunks_(std::move(other.chunks_)) {}

namespace {
constexpr std::string_view kPasteStart = "\x1b[200~";
constexpr std::string_view kPasteEnd = "\x1b[201~";

// How many bytes at the end of `text` could be the start of `marker`.
std::size_t marker_start_at_end(std::string_view text, std::string_view marker) {
    for (std::size_t n = std::min(text.size(), marker.size() - 1); n > 0; --n) {
        if (marker.starts_with(text.substr(text.size() - n))) return n;
    }
    return 0;
}
}  // namespace

// Pasted text between the markers never reaches the key decoder: it becomes one paste
// chunk, in its place among the keys.
void InputDecoder::push(std::string_view bytes) {
    while (!bytes.empty()) {
        if (!in_paste_) {
            const std::size_t start = bytes.find(kPasteStart);
            if (start == std::string_view::npos) {
                queue_keys(bytes);
                return;
            }
            queue_keys(bytes.substr(0, start));
            in_paste_ = true;
            bytes.remove_prefix(start + kPasteStart.size());
            continue;
        }
        // The end marker may be split across reads: look for it from where the bytes
        // held back last time begin.
        const std::size_t from = paste_.size() - marker_start_at_end(paste_, kPasteEnd);
        paste_.append(bytes);
        const std::size_t end = paste_.find(kPasteEnd, from);
        if (end == std::string::npos) return;
        const std::size_t rest = end + kPasteEnd.size();
        const std::size_t consumed_here = rest - (paste_.size() - bytes.size());
        paste_.resize(end);
        chunks_.push_back(Chunk{std::move(paste_), true});
        paste_.clear();
        in_paste_ = false;
        bytes.remove_prefix(consumed_here);
    }
}

void InputDecoder::queue_keys(std::string_view bytes) {
    if (bytes.empty()) return;
    if (chunks_.empty() || chunks_.back().paste) chunks_.push_back(Chunk{});
    chunks_.back().bytes.append(bytes);
}

void InputDecoder::feed() {
    if (tk_ == nullptr || chunks_.empty() || chunks_.front().paste) return;
    std::string& bytes = chunks_.front().bytes;
    if (bytes.empty()) return;
    const std::size_t taken = termkey_push_bytes(tk_, bytes.data(), bytes.size());
    if (taken != static_cast<std::size_t>(-1)) bytes.erase(0, taken);
}

std::optional<Event> InputDecoder::next(PendingSequence pending) {
    if (tk_ == nullptr) {
        chunks_.clear();
        return std::nullopt;
    }
    while (true) {
        feed();
        const bool more_keys =
            !chunks_.empty() && !chunks_.front().paste && !chunks_.front().bytes.empty();
        TermKeyKey key{};
        // A sequence that fills the decoder's whole buffer unfinished can never complete:
        // it is taken as it stands, so the bytes behind it get their turn.
        const bool force = pending == PendingSequence::Flush || more_keys;
        const TermKeyResult r = force ? termkey_getkey_force(tk_, &key) : termkey_getkey(tk_, &key);
        if (r == TERMKEY_RES_KEY) {
            pending_ = false;
            if (auto event = convert(tk_, key)) return event;
            continue;
        }
        if (r == TERMKEY_RES_AGAIN) {
            pending_ = true;
            return std::nullopt;
        }
        pending_ = false;
        if (chunks_.empty()) return std::nullopt;
        if (chunks_.front().paste) {
            std::string text = std::move(chunks_.front().bytes);
            chunks_.pop_front();
            return PasteEvent{std::move(text)};
        }
        // An empty chunk is done; bytes a failed decoder will not take are dropped, so
        // nothing loops on them.
        chunks_.pop_front();
    }
}

std::expected<EventSource, std::string> EventSource::open(int fd,
                                                          std::chrono::milliseconds escape_wait,
                                                          const char* term) {
    auto wake = platform::open_pipe(platform::PipeBlocking::no);
    if (!wake) {
        return std::unexpected(platform::os_error_text(wake.error()));
    }
    g_resized.store(false);
    g_stop_asked.store(false);
    g_continued.store(false);
    g_wake_fd.store(wake->write_end.get());
    if (auto failed = install_watched_signals()) {
        g_wake_fd.store(-1);
        return std::unexpected(platform::os_error_text(*failed));
    }
    return EventSource(fd, escape_wait, InputDecoder(term), std::move(wake->read_end),
                       std::move(wake->write_end));
}

EventSource::EventSource(int fd, std::chrono::milliseconds escape_wait, InputDecoder decoder,
                         platform::Fd wake_read, platform::Fd wake_write)
    : fd_(fd),
      escape_wait_(escape_wait),
      decoder_(std::move(decoder)),
      wake_read_(std::move(wake_read)),
      wake_write_(std::move(wake_write)) {}

EventSource::EventSource(EventSource&& other) noexcept
    : fd_(other.fd_),
      escape_wait_(other.escape_wait_),
      decoder_(std::move(other.decoder_)),
      wake_read_(std::move(other.wake_read_)),
      wake_write_(std::move(other.wake_write_)),
      partial_since_(other.partial_since_),
      active_(std::exchange(other.active_, false)) {}

EventSource::~EventSource() {
    if (!active_) {
        return;
    }
    restore_watched_signals();
    g_wake_fd.store(-1);
}

void EventSource::stop_until_continued() {
    struct sigaction stop {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    struct sigaction ours {};
    if (::sigaction(SIGTSTP, &stop, &ours) != 0) return;
    // The default action stops every thread; raise returns once the process continues
    // (at once when nothing could continue it: an orphaned group discards the signal).
    ::raise(SIGTSTP);
    ::sigaction(SIGTSTP, &ours, nullptr);
    // The caller sets the terminal up again itself.
    g_continued.store(false);
}

std::expected<std::optional<Event>, std::string> EventSource::poll(
    std::chrono::milliseconds timeout) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + timeout;
    while (true) {
        if (auto event = signal_event(fd_)) return event;
        if (auto event = decoder_.next()) {
            partial_since_.reset();
            return event;
        }
        auto now = clock::now();
        auto wait_until = deadline;
        if (decoder_.pending()) {
            if (!partial_since_) partial_since_ = now;
            const auto escape_deadline = *partial_since_ + escape_wait_;
            if (now >= escape_deadline) {
                partial_since_.reset();
                if (auto event = decoder_.next(PendingSequence::Flush)) {
                    return event;
                }
                continue;
            }
            wait_until = std::min(deadline, escape_deadline);
        } else {
            partial_since_.reset();
        }
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(
            std::max(wait_until - now, clock::duration::zero()));
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
        const int rc = ::poll(fds, 2, static_cast<int>(remaining.count()));
        if (rc < 0) {
            if (errno == EINTR) {
                return std::optional<Event>{};
            }
            return std::unexpected(platform::os_error_text(errno));
        }
        if (rc == 0) {
            if (clock::now() >= deadline && !decoder_.pending()) {
                return std::optional<Event>{};
            }
            if (clock::now() >= deadline && clock::now() < *partial_since_ + escape_wait_) {
                return std::optional<Event>{};
            }
            continue;
        }
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (platform::read_some(wake_read_.get(), drain).value_or(0) > 0) {
            }
            continue;  // the signal's flag is taken at the top
        }
        if (fds[0].revents & POLLNVAL) {
            return std::unexpected(platform::os_error_text(EBADF));
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char bytes[4096];
            const auto n = platform::read_some(fd_, bytes);
            if (!n) {
                if (n.error() == EAGAIN) continue;
                return std::unexpected(platform::os_error_text(n.error()));
            }
            if (*n == 0) {
                return std::unexpected(std::string("the terminal closed its input"));
            }
            decoder_.push(std::string_view(bytes, *n));
            partial_since_.reset();
        }
    }
}

}  // namespace bramvelt::tui::kit
