// The whole interface on a pseudo-terminal, ended by a failure that has no value of its
// own (memory running out while a frame is drawn): it still gives the terminal back,
// ends the Git commands it started and says why it ended.

#include "src/tui/run.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>

#include <csignal>
#include <new>
#include <string>
#include <system_error>

#include "platform/resource_exhaustion.hpp"
#include "platform/spawn.hpp"
#include "src/tui/frame.hpp"
#include "src/tui/kit/terminal.hpp"
#include "support/pty.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::tui {
namespace {

enum class Raise { OutOfMemory, NoThread };

// Stands for a Git command of a search under way: bound to the program, blocked on a
// read that nothing ever answers.
std::expected<platform::Child, int> start_bound_command() {
    platform::SpawnOptions options;
    options.program = "cat";
    options.in = platform::Stdio::pipe();
    options.out = platform::Stdio::null();
    options.err = platform::Stdio::null();
    options.new_process_group = true;
    options.end_with_program = platform::EndWithProgram::yes;
    return platform::spawn(options);
}

// The child's side: runs the interface on the terminal it was given, with drawing that
// throws at frame `failing_frame`, then checks what the interface left behind. Its exit
// code tells which check failed.
int run_interface_that_fails(Raise raise, int failing_frame) {
    auto bound = start_bound_command();
    if (!bound) return 20;
    int frames = 0;
    const auto result = run_tui(UiOptions{}, [&](App& app, kit::Buffer& buf, kit::Rect area) {
        if (++frames == failing_frame) {
            if (raise == Raise::OutOfMemory) throw std::bad_alloc();
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        draw_frame(app, buf, area);
    });
    if (frames != failing_frame) return 21;
    const std::string_view reason =
        raise == Raise::OutOfMemory ? platform::kOutOfMemory : platform::kOutOfThreadResources;
    if (result || result.error() != reason) return 22;
    const kit::TerminalModes left = kit::recorded_modes();
    if (left.raw_fd >= 0 || left.alternate || left.mouse || left.paste) return 23;
    // Ended as on a quit: killed and waited for, left for its owner to reap.
    auto ended = bound->try_wait();
    if (!ended || !*ended || (*ended)->signal() != SIGKILL) return 24;
    return 0;
}

TEST(InterfaceEnding, AFailureWhileDrawingGivesTheTerminalBackEndsGitAndSaysWhy) {
    const testing::TempDir home;
    const testing::ScopedEnv home_env("HOME", home.path().c_str());
    struct Case {
        Raise raise;
        int failing_frame;
    };
    for (const Case c :
         {Case{Raise::OutOfMemory, 1}, Case{Raise::OutOfMemory, 2}, Case{Raise::NoThread, 1}}) {
        SCOPED_TRACE(::testing::Message() << "frame " << c.failing_frame);
        const testing::PtyEnding ending = testing::run_on_own_pty(
            12, 60, [&] { return run_interface_that_fails(c.raise, c.failing_frame); });
        ASSERT_TRUE(WIFEXITED(ending.status)) << "signal " << WTERMSIG(ending.status);
        EXPECT_EQ(WEXITSTATUS(ending.status), 0) << ending.output;
        EXPECT_NE(ending.after.c_lflag & ICANON, 0u);
        EXPECT_NE(ending.after.c_lflag & ECHO, 0u);
        const auto entered = ending.output.rfind(kit::kEnterAlternateScreen);
        ASSERT_NE(entered, std::string::npos) << ending.output;
        EXPECT_NE(ending.output.find(kit::kLeaveAlternateScreen, entered), std::string::npos);
        EXPECT_NE(ending.output.find(kit::kDisableMouseCapture, entered), std::string::npos);
    }
}

}  // namespace
}  // namespace bramvelt::tui
