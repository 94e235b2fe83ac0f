#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "platform/fd.hpp"
#include "platform/pipe.hpp"
#include "src/tui/kit/terminal.hpp"
#include "support/pty.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::tui::kit {
namespace {

constexpr Color kRed = Color::rgb(200, 0, 0);

TEST(RenderDiff, WritesOnlyChangedCellsWithSgr) {
    Buffer before(Rect{0, 0, 4, 2});
    Buffer after(Rect{0, 0, 4, 2});
    EXPECT_EQ(render_diff(before, after, Colors::On), "");

    after.set_string(1, 0, "ab", fg(kRed).bold());
    after.set_string(0, 1, "c", Style{});
    EXPECT_EQ(render_diff(before, after, Colors::On),
              "\x1b[1;2H\x1b[1m\x1b[38;2;200;0;0m\x1b[49mab"
              "\x1b[2;1H\x1b[22m\x1b[39m\x1b[49mc\x1b[0m");
    // Without colour the attributes stay and the colours go.
    EXPECT_EQ(render_diff(before, after, Colors::Off),
              "\x1b[1;2H\x1b[1mab\x1b[2;1H\x1b[22mc\x1b[0m");

    // Dropping bold while dim stays puts dim back after the shared reset.
    Buffer dim(Rect{0, 0, 4, 2});
    dim.set_string(0, 0, "x", Style{}.add(Modifier::Bold | Modifier::Dim));
    dim.set_string(1, 0, "y", Style{}.add(Modifier::Dim));
    EXPECT_EQ(render_diff(before, dim, Colors::Off),
              "\x1b[1;1H\x1b[1m\x1b[2mx\x1b[22m\x1b[2my\x1b[0m");
}

TEST(RenderDiff, PositionsAgainAfterSymbolsThatAreNotOneCellWide) {
    // A zero-width symbol (put there by direct cell access) does not move the terminal's
    // cursor; the next cell must still land in its own column.
    Buffer before(Rect{0, 0, 4, 1});
    Buffer after(Rect{0, 0, 4, 1});
    after.at(0, 0).set_symbol("\u0301");
    after.at(1, 0).set_symbol("x");
    after.at(2, 0).set_symbol("y");
    EXPECT_EQ(render_diff(before, after, Colors::Off), "\x1b[1;1H\u0301\x1b[1;2Hxy\x1b[0m");

    // A flag takes two cells: its hidden half is not written and the next symbol is
    // placed explicitly, whatever the terminal made of the flag.
    Buffer flag(Rect{0, 0, 4, 1});
    flag.set_string(0, 0, "\U0001F1E9\U0001F1EAx", Style{});
    EXPECT_EQ(render_diff(before, flag, Colors::Off),
              "\x1b[1;1H\U0001F1E9\U0001F1EA\x1b[1;3Hx\x1b[0m");
}

TEST(TerminalSize, FromTheTerminalElseFromTput) {
    int master = -1;
    int slave = -1;
    winsize ws{33, 101, 0, 0};
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &ws), 0);
    platform::Fd m(master);
    platform::Fd s(slave);
    EXPECT_EQ(terminal_size(s.get()), (Size{101, 33}));

    // Not a terminal: the numbers tput prints (it honours COLUMNS and LINES).
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    platform::Fd read_end(fds[0]);
    platform::Fd write_end(fds[1]);
    testing::ScopedEnv term("TERM", "xterm");
    testing::ScopedEnv columns("COLUMNS", "123");
    testing::ScopedEnv lines("LINES", "45");
    EXPECT_EQ(terminal_size(write_end.get()), (Size{123, 45}));
    // Without tput the terminal's own failure is the error.
    testing::ScopedEnv path("PATH", "/nonexistent");
    const auto failed = terminal_size(write_end.get());
    ASSERT_FALSE(failed.has_value());
    EXPECT_NE(failed.error().find("(os error 25)"), std::string::npos) << failed.error();
}

TEST(ColorChoice, NoColorTurnsColoursOff) {
    ::unsetenv("NO_COLOR");
    EXPECT_EQ(colors_by_environment(), Colors::On);
    ::setenv("NO_COLOR", "", 1);
    EXPECT_EQ(colors_by_environment(), Colors::On);
    ::setenv("NO_COLOR", "1", 1);
    EXPECT_EQ(colors_by_environment(), Colors::Off);
    ::unsetenv("NO_COLOR");
}

std::string drain(int fd) {
    std::string out;
    char buf[4096];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

TEST(ModeSwitches, WriteTheExactSequences) {
    auto [read_end, write_end] = platform::open_pipe(platform::PipeBlocking::no).value();
    ASSERT_TRUE(enter_alternate_screen(write_end.get()));
    ASSERT_TRUE(enable_mouse_capture(write_end.get()));
    ASSERT_TRUE(disable_mouse_capture(write_end.get()));
    ASSERT_TRUE(leave_alternate_screen(write_end.get()));
    EXPECT_EQ(drain(read_end.get()),
              "\x1b[?1049h"
              "\x1b[?1000h\x1b[?1002h\x1b[?1003h\x1b[?1015h\x1b[?1006h"
              "\x1b[?1006l\x1b[?1015l\x1b[?1003l\x1b[?1002l\x1b[?1000l"
              "\x1b[?1049l");
    // Nothing is left for an emergency restore to undo.
    emergency_restore();
    EXPECT_EQ(drain(read_end.get()), "");
}

// A stop gives every mode back and a continuation sets the same ones again.
TEST(ModeSwitches, ReleasedModesAreSetAgain) {
    auto [read_end, write_end] = platform::open_pipe(platform::PipeBlocking::no).value();
    ASSERT_TRUE(enter_alternate_screen(write_end.get()));
    ASSERT_TRUE(enable_bracketed_paste(write_end.get()));
    (void)drain(read_end.get());
    const TerminalModes released = release_modes();
    EXPECT_EQ(drain(read_end.get()), "\x1b[?2004l\x1b[?1049l");
    EXPECT_FALSE(recorded_modes().alternate);
    ASSERT_TRUE(reapply_modes(released));
    EXPECT_EQ(drain(read_end.get()), "\x1b[?1049h\x1b[?2004h");
    EXPECT_TRUE(recorded_modes().alternate);
    EXPECT_TRUE(recorded_modes().paste);
    EXPECT_FALSE(recorded_modes().mouse);
    emergency_restore();
    EXPECT_EQ(drain(read_end.get()), "\x1b[?2004l\x1b[?1049l");
}

TEST(TerminalWriter, DrawsDiffsHidesCursorAndClearsOnResize) {
    auto [read_end, write_end] = platform::open_pipe(platform::PipeBlocking::no).value();
    Size size{4, 2};
    std::string letter = "a";
    {
        auto terminal = Terminal::open(
            write_end.get(), [&] { return std::expected<Size, std::string>(size); }, Colors::Off);
        ASSERT_TRUE(terminal.has_value());
        auto draw = [&](Buffer& buf, Rect area) {
            EXPECT_EQ(area, buf.area());
            buf.set_string(0, 0, letter, Style{});
        };
        ASSERT_TRUE(terminal->draw(draw));
        EXPECT_EQ(drain(read_end.get()), "\x1b[2J\x1b[1;1Ha\x1b[0m\x1b[?25l");
        ASSERT_TRUE(terminal->draw(draw));
        EXPECT_EQ(drain(read_end.get()), "\x1b[?25l");
        letter.assign(1, 'b');
        ASSERT_TRUE(terminal->draw(draw));
        EXPECT_EQ(drain(read_end.get()), "\x1b[1;1Hb\x1b[0m\x1b[?25l");
        size = Size{3, 1};
        ASSERT_TRUE(terminal->draw(draw));
        EXPECT_EQ(drain(read_end.get()), "\x1b[2J\x1b[1;1Hb\x1b[0m\x1b[?25l");
        EXPECT_EQ(terminal->area(), (Rect{0, 0, 3, 1}));
    }
    EXPECT_EQ(drain(read_end.get()), "\x1b[?25h");

    // A failing write is an error value, not a crash.
    read_end.reset();
    ::signal(SIGPIPE, SIG_IGN);
    auto broken = Terminal::open(
        write_end.get(),
        [] {
            return std::expected<Size, std::string>(Size{2, 1});
        },
        Colors::Off);
    ASSERT_TRUE(broken.has_value());
    auto result = broken->draw([](Buffer&, Rect) {});
    ASSERT_FALSE(result.has_value());
    EXPECT_NE(result.error().find("(os error 32)"), std::string::npos);
}

TEST(TerminalWriter, NoColorInTheEnvironmentLeavesColoursOutOfTheFrame) {
    for (const char* no_color : {static_cast<const char*>(nullptr), "1"}) {
        testing::ScopedEnv env("NO_COLOR", no_color);
        int master = -1;
        int slave = -1;
        winsize ws{1, 4, 0, 0};
        ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &ws), 0);
        platform::Fd m(master);
        platform::Fd s(slave);
        ASSERT_EQ(::fcntl(m.get(), F_SETFL, O_NONBLOCK), 0);
        {
            auto terminal = Terminal::open(s.get());
            ASSERT_TRUE(terminal.has_value());
            ASSERT_TRUE(
                terminal->draw([](Buffer& b, Rect) { b.set_string(0, 0, "x", fg(kRed).bold()); }));
        }
        const std::string out = drain(m.get());
        EXPECT_NE(out.find("\x1b[1m"), std::string::npos) << out;  // attributes stay
        EXPECT_NE(out.find("mx\x1b[0m"), std::string::npos) << out;
        EXPECT_EQ(out.find("38;2;200;0;0") != std::string::npos, no_color == nullptr) << out;
        EXPECT_EQ(out.find("38;2") != std::string::npos, no_color == nullptr) << out;
    }
}

// Terminate with the handler that was there first (the program's own) still to run.
enum class Ending { Orderly, Exit, Signal, Terminate, TerminateAfterAnother };

constexpr std::string_view kFirstStepMark = "[first step]";
constexpr std::string_view kPreviousHandlerMark = "[previous handler]";

// Stands for ending the Git children: leaves a mark on the terminal.
void mark_first_step() noexcept {
    (void)!::write(1, kFirstStepMark.data(), kFirstStepMark.size());
}

// The program's own terminate handler: says so and exits 1, without a signal.
[[noreturn]] void previous_terminate_handler() {
    (void)!::write(1, kPreviousHandlerMark.data(), kPreviousHandlerMark.size());
    ::_exit(1);
}

// The child's side: switches every mode on, draws, then ends as told.
int switch_modes_on_and_end(Ending ending) {
    if (ending == Ending::TerminateAfterAnother) std::set_terminate(previous_terminate_handler);
    install_emergency_restore(mark_first_step);
    if (!enable_raw_mode(0) || !enter_alternate_screen(1) || !enable_mouse_capture(1)) {
        return 90;
    }
    auto terminal = Terminal::open(1);
    if (!terminal || !terminal->draw([](Buffer& b, Rect) { b.set_string(0, 0, "hi", Style{}); })) {
        return 91;
    }
    switch (ending) {
        case Ending::Orderly:
            if (!disable_mouse_capture(1) || !disable_raw_mode() || !leave_alternate_screen(1)) {
                return 92;
            }
            break;
        case Ending::Exit:
            std::exit(0);
        case Ending::Signal:
            ::raise(SIGTERM);
            break;
        case Ending::Terminate:
        case Ending::TerminateAfterAnother:
            std::terminate();
    }
    terminal = std::unexpected(std::string());  // destroys the terminal: cursor shown
    return 0;
}

// Runs a child on a pseudo-terminal that switches every mode on and then ends as told;
// returns what it wrote and leaves the terminal settings in `after`.
std::string run_on_pty(Ending ending, termios& after, int& status) {
    testing::PtyEnding ended =
        testing::run_on_own_pty(5, 20, [ending] { return switch_modes_on_and_end(ending); });
    after = ended.after;
    status = ended.status;
    return std::move(ended.output);
}

TEST(TerminalRestore, CookedModeAndCursorShownOnEveryEnding) {
    for (Ending ending : {Ending::Orderly, Ending::Exit, Ending::Signal, Ending::Terminate,
                          Ending::TerminateAfterAnother}) {
        SCOPED_TRACE(static_cast<int>(ending));
        termios after{};
        int status = 0;
        const std::string out = run_on_pty(ending, after, status);
        EXPECT_NE(after.c_lflag & ICANON, 0u);
        EXPECT_NE(after.c_lflag & ECHO, 0u);
        EXPECT_NE(after.c_lflag & ISIG, 0u);
        const auto entered = out.rfind("\x1b[?1049h");
        ASSERT_NE(entered, std::string::npos) << out;
        EXPECT_NE(out.find("\x1b[?1049l", entered), std::string::npos);
        EXPECT_NE(out.find(std::string(kDisableMouseCapture)), std::string::npos);
        EXPECT_NE(out.rfind("\x1b[?25h"), std::string::npos);
        EXPECT_GT(out.rfind("\x1b[?25h"), out.rfind("\x1b[?25l"));
        // A fatal ending ends the children first, as a signal does, then restores.
        const bool fatal = ending == Ending::Signal || ending == Ending::Terminate ||
                           ending == Ending::TerminateAfterAnother;
        const auto first_step = out.find(kFirstStepMark);
        EXPECT_EQ(first_step != std::string::npos, fatal) << out;
        if (fatal) {
            EXPECT_LT(first_step, out.find("\x1b[?1049l", entered)) << out;
        }
        if (ending == Ending::Signal) {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), SIGTERM);  // the signal still ends the program
        } else if (ending == Ending::Terminate) {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), SIGABRT);
        } else if (ending == Ending::TerminateAfterAnother) {
            // The handler that was there first ends the program, after the restore.
            ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
            EXPECT_EQ(WEXITSTATUS(status), 1);
            const auto previous = out.find(kPreviousHandlerMark);
            ASSERT_NE(previous, std::string::npos) << out;
            EXPECT_GT(previous, out.rfind("\x1b[?1049l")) << out;
        } else {
            ASSERT_TRUE(WIFEXITED(status));
        }
    }
}

TEST(TerminalRestore, AnIgnoredSignalLeavesTheRunningProgramsTerminalAlone) {
    // Under nohup SIGHUP is ignored: the program goes on, so its screen must stay raw.
    const pid_t pid = ::fork();
    if (pid == 0) {
        int master = -1;
        int slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) ::_exit(90);
        ::signal(SIGHUP, SIG_IGN);
        install_emergency_restore();
        if (!enable_raw_mode(slave)) ::_exit(91);
        ::raise(SIGHUP);
        termios now{};
        ::tcgetattr(slave, &now);
        if (!raw_mode_enabled() || (now.c_lflag & ICANON) != 0) ::_exit(92);
        // A signal that ends the program still restores first.
        ::raise(SIGTERM);
        ::_exit(93);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

}  // namespace
}  // namespace bramvelt::tui::kit
