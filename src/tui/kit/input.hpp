#pragma once
// Terminal input as events: keys with their modifiers, mouse (SGR reports), resizes.
//
// `InputDecoder` turns bytes into events with libtermkey in abstract mode: we own the
// descriptor and its termios and only push bytes. `EventSource` reads the terminal,
// learns of resizes through SIGWINCH and a self-pipe, and waits with a time limit.

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/fd.hpp"

struct TermKey;

namespace bramvelt::tui::kit {

enum class KeyCode {
    Char,
    Backspace,
    Enter,
    Left,
    Right,
    Up,
    Down,
    Home,
    End,
    PageUp,
    PageDown,
    Tab,
    BackTab,
    Delete,
    Insert,
    F,
    Esc,
    Null,  // a key we have no name for
};

namespace key_modifiers {
inline constexpr std::uint8_t None = 0;
inline constexpr std::uint8_t Shift = 1;
inline constexpr std::uint8_t Control = 2;
inline constexpr std::uint8_t Alt = 4;
}  // namespace key_modifiers

enum class KeyEventKind { Press, Repeat, Release };

struct KeyEvent {
    KeyCode code = KeyCode::Null;
    char32_t ch = 0;            // for KeyCode::Char
    std::uint8_t function = 0;  // n of F(n)
    std::uint8_t modifiers = key_modifiers::None;
    KeyEventKind kind = KeyEventKind::Press;

    bool control() const { return (modifiers & key_modifiers::Control) != 0; }
    bool is_char(char32_t c) const { return code == KeyCode::Char && ch == c; }
    friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

enum class MouseKind { ScrollUp, ScrollDown, Down, Up, Drag, Moved };

struct MouseEvent {
    MouseKind kind = MouseKind::Moved;
    int button = 0;            // 1 left, 2 middle, 3 right; 0 for none
    std::uint16_t column = 0;  // from 0
    std::uint16_t row = 0;     // from 0
    std::uint8_t modifiers = key_modifiers::None;
    friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

struct ResizeEvent {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    friend bool operator==(const ResizeEvent&, const ResizeEvent&) = default;
};

// A block of pasted text, delivered as one event whose content is dropped.
struct PasteEvent {
    friend bool operator==(const PasteEvent&, const PasteEvent&) = default;
};

using Event = std::variant<KeyEvent, MouseEvent, ResizeEvent, PasteEvent>;

// What the decoder does with the start of a sequence that has not arrived in full:
// keep waiting for the rest, or flush it as the keys it holds so far.
enum class PendingSequence { Keep, Flush };

class InputDecoder {
  public:
    // `term` names the terminal type for its key table; nullptr takes TERM.
    explicit InputDecoder(const char* term = nullptr);
    ~InputDecoder();
    InputDecoder(InputDecoder&& other) noexcept;
    InputDecoder& operator=(InputDecoder&&) = delete;
    InputDecoder(const InputDecoder&) = delete;
    InputDecoder& operator=(const InputDecoder&) = delete;

    void push(std::string_view bytes);
    // The next complete event. A partial sequence (Esc so far) yields nothing and sets
    // `pending`; flushed, it is taken as it stands, so Esc alone becomes Esc.
    std::optional<Event> next(PendingSequence pending = PendingSequence::Keep);
    bool pending() const { return pending_; }

  private:
    void push_keys(std::string_view bytes);

    TermKey* tk_ = nullptr;
    bool pending_ = false;
    bool in_paste_ = false;
    std::size_t pastes_ = 0;    // paste events not yet handed out
    std::string paste_tail_;   // what may be the start of the end marker
};

class EventSource {
  public:
    // Reads `fd` (the terminal, in raw mode) and watches SIGWINCH until destroyed; one
    // EventSource at a time. `escape_wait` is how long a lone Esc waits for the rest of
    // a sequence.
    static std::expected<EventSource, std::string> open(
        int fd, std::chrono::milliseconds escape_wait = std::chrono::milliseconds(50),
        const char* term = nullptr);
    ~EventSource();
    EventSource(EventSource&& other) noexcept;
    EventSource& operator=(EventSource&&) = delete;
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;

    // Waits up to `timeout` for one event. Nothing when the time passes or a signal
    // interrupts the wait; an error only when reading the terminal fails or it closed.
    std::expected<std::optional<Event>, std::string> poll(std::chrono::milliseconds timeout);

  private:
    EventSource(int fd, std::chrono::milliseconds escape_wait, InputDecoder decoder,
                platform::Fd wake_read, platform::Fd wake_write);
    int fd_;
    std::chrono::milliseconds escape_wait_;
    InputDecoder decoder_;
    platform::Fd wake_read_;
    platform::Fd wake_write_;
    std::optional<std::chrono::steady_clock::time_point> partial_since_;
    bool active_ = true;
};

}  // namespace bramvelt::tui::kit
