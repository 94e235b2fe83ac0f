#pragma once
// Terminal input as events: keys with their modifiers, mouse (SGR reports), pastes,
// resizes, and a stop or continuation of the process.
//
// `InputDecoder` turns bytes into events with libtermkey in abstract mode: we own the
// descriptor and its termios and only push bytes. `EventSource` reads the terminal,
// learns of resizes, stops and continuations through their signals and a self-pipe, and
// waits with a time limit.

#include <chrono>
#include <cstdint>
#include <deque>
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

// A block of pasted text, as the terminal sent it between its paste markers. It never
// arrives as keys: a pasted "y" must not answer a confirmation.
struct PasteEvent {
    std::string text;
    friend bool operator==(const PasteEvent&, const PasteEvent&) = default;
};

// The process was asked to stop (SIGTSTP): the terminal is to be given back first.
struct StopEvent {
    friend bool operator==(const StopEvent&, const StopEvent&) = default;
};

// The process continued after a stop (SIGCONT): its terminal modes may be gone and the
// screen overwritten.
struct ContinueEvent {
    friend bool operator==(const ContinueEvent&, const ContinueEvent&) = default;
};

using Event = std::variant<KeyEvent, MouseEvent, ResizeEvent, PasteEvent, StopEvent, ContinueEvent>;

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

    // Keeps every byte until it has been handed out as events, however many arrive.
    void push(std::string_view bytes);
    // The next complete event, in the order the bytes came. A partial sequence (Esc so
    // far) yields nothing and sets `pending`; flushed, it is taken as it stands, so Esc
    // alone becomes Esc.
    std::optional<Event> next(PendingSequence pending = PendingSequence::Keep);
    bool pending() const { return pending_; }

  private:
    // Bytes for the key decoder, or a whole paste, in arrival order.
    struct Chunk {
        std::string bytes;
        bool paste = false;
    };
    void queue_keys(std::string_view bytes);
    // Hands the key decoder as much of the front chunk as its fixed buffer takes.
    void feed();

    TermKey* tk_ = nullptr;
    bool pending_ = false;
    bool in_paste_ = false;
    std::string paste_;  // the paste being received, with what may begin its end marker
    std::deque<Chunk> chunks_;
};

class EventSource {
  public:
    // Reads `fd` (the terminal, in raw mode) and watches SIGWINCH, SIGTSTP (unless the
    // process ignores it) and SIGCONT until destroyed; one EventSource at a time. `escape_wait` is
    // how long a lone Esc waits for the rest of a sequence.
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

    // After a StopEvent, with the terminal given back: stops the process as SIGTSTP
    // would have, and returns once it continues.
    void stop_until_continued();

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
