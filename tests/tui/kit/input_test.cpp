#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include "platform/fd.hpp"
#include "src/tui/kit/input.hpp"

namespace bramvelt::tui::kit {
namespace {

namespace km = key_modifiers;

KeyEvent key(KeyCode code, std::uint8_t mods = km::None) {
    KeyEvent k;
    k.code = code;
    k.modifiers = mods;
    return k;
}

KeyEvent chr(char32_t c, std::uint8_t mods = km::None) {
    KeyEvent k = key(KeyCode::Char, mods);
    k.ch = c;
    return k;
}

KeyEvent fkey(int n) {
    KeyEvent k = key(KeyCode::F);
    k.function = static_cast<std::uint8_t>(n);
    return k;
}

std::vector<Event> decode(std::string_view bytes) {
    InputDecoder decoder("xterm-256color");
    decoder.push(bytes);
    std::vector<Event> events;
    while (true) {
        auto e = decoder.next();
        if (!e && decoder.pending()) e = decoder.next(PendingSequence::Flush);
        if (!e) break;
        events.push_back(*e);
    }
    return events;
}

TEST(InputDecoder, KeysFromByteStrings) {
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<Event> expected;
    };
    const std::vector<Case> cases = {
        {"arrows",
         "\x1b[A\x1b[B\x1b[C\x1b[D",
         {key(KeyCode::Up), key(KeyCode::Down), key(KeyCode::Right), key(KeyCode::Left)}},
        {"application-mode arrows", "\x1bOA", {key(KeyCode::Up)}},
        {"F1 and F5", "\x1bOP\x1b[15~", {fkey(1), fkey(5)}},
        {"Shift-Tab", "\x1b[Z", {key(KeyCode::BackTab, km::Shift)}},
        {"Tab and Enter", "\t\r", {key(KeyCode::Tab), key(KeyCode::Enter)}},
        {"Home and End",
         "\x1b[H\x1b[F\x1b[1~\x1b[4~",
         {key(KeyCode::Home), key(KeyCode::End), key(KeyCode::Home), key(KeyCode::End)}},
        {"pages, delete",
         "\x1b[5~\x1b[6~\x1b[3~",
         {key(KeyCode::PageUp), key(KeyCode::PageDown), key(KeyCode::Delete)}},
        {"Backspace as DEL and BS", "\x7f\x08", {key(KeyCode::Backspace), key(KeyCode::Backspace)}},
        {"Ctrl-C, Ctrl-U, Ctrl-W",
         "\x03\x15\x17",
         {chr(U'c', km::Control), chr(U'u', km::Control), chr(U'w', km::Control)}},
        {"text with UTF-8 and space", "q ä日", {chr(U'q'), chr(U' '), chr(U'ä'), chr(U'日')}},
        {"Alt-x", "\x1bx", {chr(U'x', km::Alt)}},
        {"modified arrow", "\x1b[1;5A", {key(KeyCode::Up, km::Control)}},
        {"Esc alone", "\x1b", {key(KeyCode::Esc)}},
        {"Home and End in their other encodings",
         "\x1bOH\x1bOF\x1b[7~\x1b[8~",
         {key(KeyCode::Home), key(KeyCode::End), key(KeyCode::Home), key(KeyCode::End)}},
        {"F1 as CSI 11~ and modified",
         "\x1b[11~\x1b[1;2P",
         {fkey(1),
          [] {
              KeyEvent k = fkey(1);
              k.modifiers = km::Shift;
              return k;
          }()}},
        {"Ctrl-Space", std::string("\0", 1), {chr(U' ', km::Control)}},
        {"Esc then a key typed after it", "\x1b\x1b[A", {key(KeyCode::Up, km::Alt)}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decode(c.bytes), c.expected) << c.name;
    }
}

TEST(InputDecoder, SgrMouseWheelAndClicks) {
    const auto events = decode("\x1b[<64;10;5M\x1b[<65;1;1M\x1b[<0;3;4M\x1b[<0;3;4m");
    ASSERT_EQ(events.size(), 4u);
    const auto& up = std::get<MouseEvent>(events[0]);
    EXPECT_EQ(up.kind, MouseKind::ScrollUp);
    EXPECT_EQ(up.column, 9);
    EXPECT_EQ(up.row, 4);
    EXPECT_EQ(std::get<MouseEvent>(events[1]).kind, MouseKind::ScrollDown);
    EXPECT_EQ(std::get<MouseEvent>(events[2]).kind, MouseKind::Down);
    EXPECT_EQ(std::get<MouseEvent>(events[2]).button, 1);
    EXPECT_EQ(std::get<MouseEvent>(events[3]).kind, MouseKind::Up);
}

TEST(InputDecoder, WheelInEveryMouseEncodingAndTerminalType) {
    // SGR with Shift held, the urxvt encoding and the old X10 bytes: each a wheel step.
    const auto events = decode("\x1b[<68;2;3M\x1b[96;10;5M\x1b[Ma!!");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(std::get<MouseEvent>(events[0]).kind, MouseKind::ScrollUp);
    EXPECT_EQ(std::get<MouseEvent>(events[1]).kind, MouseKind::ScrollUp);
    EXPECT_EQ(std::get<MouseEvent>(events[1]).column, 9);
    EXPECT_EQ(std::get<MouseEvent>(events[2]).kind, MouseKind::ScrollDown);

    // Inside tmux or screen, on the console or with no known TERM, the keys the screens
    // bind still decode.
    for (const char* term : {"tmux-256color", "screen", "linux", "dumb", "no-such-terminal"}) {
        InputDecoder decoder(term);
        decoder.push("\x1b[<65;1;1M\x1b[1~\x1b[4~\x1b[Z\x7f\x03\x1bOP");
        std::vector<Event> got;
        while (auto e = decoder.next()) got.push_back(*e);
        ASSERT_EQ(got.size(), 7u) << term;
        EXPECT_EQ(std::get<MouseEvent>(got[0]).kind, MouseKind::ScrollDown) << term;
        EXPECT_EQ(std::get<KeyEvent>(got[1]).code, KeyCode::Home) << term;
        EXPECT_EQ(std::get<KeyEvent>(got[2]).code, KeyCode::End) << term;
        EXPECT_EQ(std::get<KeyEvent>(got[3]).code, KeyCode::BackTab) << term;
        EXPECT_EQ(std::get<KeyEvent>(got[4]).code, KeyCode::Backspace) << term;
        EXPECT_EQ(std::get<KeyEvent>(got[5]), chr(U'c', km::Control)) << term;
        EXPECT_EQ(std::get<KeyEvent>(got[6]), fkey(1)) << term;
    }
}

TEST(InputDecoder, LoneEscIsHeldUntilForcedOrCompleted) {
    InputDecoder decoder("xterm-256color");
    decoder.push("\x1b");
    EXPECT_FALSE(decoder.next().has_value());
    EXPECT_TRUE(decoder.pending());
    // The rest of the sequence arrives in a later read: it is one key, not Esc.
    decoder.push("[B");
    EXPECT_EQ(decoder.next(), Event{key(KeyCode::Down)});
    EXPECT_FALSE(decoder.pending());
}

struct PipeFixture {
    platform::Fd read_end;
    platform::Fd write_end;
    PipeFixture() {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        read_end.reset(fds[0]);
        write_end.reset(fds[1]);
    }
    void send(std::string_view bytes) {
        ASSERT_EQ(::write(write_end.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
};

TEST(EventSource, TimedPollKeysLoneEscAndResize) {
    PipeFixture pipe;
    auto source =
        EventSource::open(pipe.read_end.get(), std::chrono::milliseconds(20), "xterm-256color");
    ASSERT_TRUE(source.has_value()) << source.error();

    auto nothing = source->poll(std::chrono::milliseconds(5));
    ASSERT_TRUE(nothing.has_value());
    EXPECT_FALSE(nothing->has_value());

    pipe.send("j\x1b[A");
    EXPECT_EQ(*source->poll(std::chrono::milliseconds(100)), Event{chr(U'j')});
    EXPECT_EQ(*source->poll(std::chrono::milliseconds(100)), Event{key(KeyCode::Up)});

    pipe.send("\x1b");
    // A poll shorter than the escape wait leaves the Esc pending; a later one yields it.
    auto early = source->poll(std::chrono::milliseconds(1));
    ASSERT_TRUE(early.has_value());
    auto esc = source->poll(std::chrono::milliseconds(200));
    ASSERT_TRUE(esc.has_value());
    if (!early->has_value()) {
        EXPECT_EQ(*esc, Event{key(KeyCode::Esc)});
    } else {
        EXPECT_EQ(*early, Event{key(KeyCode::Esc)});
    }

    ::raise(SIGWINCH);
    auto resized = source->poll(std::chrono::milliseconds(100));
    ASSERT_TRUE(resized.has_value());
    ASSERT_TRUE(resized->has_value());
    EXPECT_TRUE(std::holds_alternative<ResizeEvent>(**resized));
}

TEST(EventSource, StopAndContinueSignalsBecomeEvents) {
    PipeFixture pipe;
    auto source =
        EventSource::open(pipe.read_end.get(), std::chrono::milliseconds(20), "xterm-256color");
    ASSERT_TRUE(source.has_value());
    ::raise(SIGCONT);
    EXPECT_EQ(*source->poll(std::chrono::milliseconds(1000)), Event{ContinueEvent{}});
    struct sigaction current {};
    ASSERT_EQ(::sigaction(SIGTSTP, nullptr, &current), 0);
    if (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN) {
        GTEST_SKIP() << "SIGTSTP is ignored here, so it is not watched";
    }
    ::raise(SIGTSTP);
    EXPECT_EQ(*source->poll(std::chrono::milliseconds(1000)), Event{StopEvent{}});
}

// The process stops as SIGTSTP's default action would and goes on once continued, with
// the handler in place again.
TEST(EventSource, StopUntilContinued) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A group of its own whose parent is outside it: a stop signal is not discarded.
        ::setpgid(0, 0);
        ::signal(SIGTSTP, SIG_DFL);
        PipeFixture pipe;
        auto source = EventSource::open(pipe.read_end.get());
        if (!source) ::_exit(2);
        source->stop_until_continued();
        struct sigaction after {};
        ::sigaction(SIGTSTP, nullptr, &after);
        ::_exit(after.sa_handler == SIG_DFL ? 3 : 0);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, WUNTRACED), pid);
    ASSERT_TRUE(WIFSTOPPED(status)) << status;
    EXPECT_EQ(WSTOPSIG(status), SIGTSTP);
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

extern "C" void ignore_signal(int) {}

TEST(EventSource, SignalDuringPollIsNoEventAndClosedInputIsAnError) {
    PipeFixture pipe;
    auto source =
        EventSource::open(pipe.read_end.get(), std::chrono::milliseconds(20), "xterm-256color");
    ASSERT_TRUE(source.has_value());
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGUSR1, &action, &previous);
    const pthread_t self = ::pthread_self();
    std::thread interrupter([self] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ::pthread_kill(self, SIGUSR1);
    });
    auto result = source->poll(std::chrono::milliseconds(3000));
    interrupter.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_FALSE(result->has_value());

    pipe.write_end.reset();
    auto closed = source->poll(std::chrono::milliseconds(100));
    EXPECT_FALSE(closed.has_value());
}

// A pasted block is one event in its place among the keys, and none of its text arrives
// as keys, even when the markers are split across reads.
TEST(InputDecoder, PastedTextIsOneEventInItsPlace) {
    const auto events = decode("a\x1b[200~yes\r\n\x1b[201~b");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], Event{chr(U'a')});
    EXPECT_EQ(events[1], Event{PasteEvent{"yes\r\n"}});
    EXPECT_EQ(events[2], Event{chr(U'b')});

    const auto collect = [](std::initializer_list<std::string_view> pieces) {
        InputDecoder decoder("xterm-256color");
        for (std::string_view piece : pieces) decoder.push(piece);
        std::vector<Event> out;
        while (auto e = decoder.next()) out.push_back(*e);
        return out;
    };
    EXPECT_EQ(collect({"\x1b[200~y", "es\x1b[2", "01", "~n"}),
              (std::vector<Event>{PasteEvent{"yes"}, chr(U'n')}));
    // Text that only looks like the start of the end marker stays in the paste.
    EXPECT_EQ(collect({"\x1b[200~a\x1b[20", "0~b\x1b", "[201~"}),
              (std::vector<Event>{PasteEvent{"a\x1b[200~b"}}));
    EXPECT_EQ(collect({"\x1b[200~", "\x1b[201~"}), (std::vector<Event>{PasteEvent{""}}));
}

// The key decoder holds only a small buffer: what does not fit waits its turn.
TEST(InputDecoder, LongInputKeepsEveryByte) {
    std::string typed;
    std::vector<Event> expected;
    for (int i = 0; i < 600; ++i) {
        typed += static_cast<char>('a' + i % 26);
        expected.push_back(chr(static_cast<char32_t>(U'a' + i % 26)));
    }
    for (int i = 0; i < 200; ++i) {
        typed += i % 2 == 0 ? "\xc3\xa9" : "\x1b[A";
        expected.push_back(i % 2 == 0 ? chr(U'\u00e9') : key(KeyCode::Up));
    }
    const std::string pasted(10'000, 'p');
    typed += "\x1b[200~" + pasted + "\x1b[201~z";
    expected.push_back(PasteEvent{pasted});
    expected.push_back(chr(U'z'));
    EXPECT_EQ(decode(typed), expected);
}

TEST(EventSource, LongInputArrivingAtOnceKeepsEveryByte) {
    PipeFixture pipe;
    auto source =
        EventSource::open(pipe.read_end.get(), std::chrono::milliseconds(20), "xterm-256color");
    ASSERT_TRUE(source.has_value());
    std::string typed;
    for (int i = 0; i < 6000; ++i) typed += static_cast<char>('0' + i % 10);
    pipe.send(typed);
    std::string received;
    for (int i = 0; i < 100'000 && received.size() < typed.size(); ++i) {
        auto event = source->poll(std::chrono::milliseconds(100));
        ASSERT_TRUE(event.has_value()) << event.error();
        if (!*event) continue;
        const auto* k = std::get_if<KeyEvent>(&**event);
        ASSERT_NE(k, nullptr);
        received += static_cast<char>(k->ch);
    }
    EXPECT_EQ(received, typed);
}

}  // namespace
}  // namespace bramvelt::tui::kit
