#include "src/tui/run.hpp"

#include <cstdio>
#include <exception>
#include <memory>

#include <fmt/format.h>

#include "platform/bound_children.hpp"
#include "platform/standard_streams.hpp"
#include "src/cli/format.hpp"
#include "src/cli/interrupt.hpp"
#include "src/tui/app.hpp"
#include "src/tui/dev_view.hpp"
#include "src/tui/disk_scan.hpp"
#include "src/tui/failure_text.hpp"
#include "src/tui/frame.hpp"
#include "src/tui/keys.hpp"
#include "src/tui/kit/input.hpp"
#include "src/tui/kit/terminal.hpp"
#include "src/tui/launcher.hpp"
#include "src/tui/main_loop.hpp"
#include "src/tui/volumes.hpp"

namespace bramvelt::tui {
namespace {

constexpr int kInput = platform::kStandardInput;
constexpr int kOutput = platform::kStandardOutput;

void print_restore_failure(const std::string& error) {
    std::fputs(fmt::format("Failed to restore terminal: {}\n", error).c_str(), stderr);
}

// Leaves raw mode and the alternate screen; the first step that fails ends it.
void restore_terminal() {
    if (auto r = kit::disable_raw_mode(); !r) {
        print_restore_failure(r.error());
        return;
    }
    if (auto r = kit::leave_alternate_screen(kOutput); !r) {
        print_restore_failure(r.error());
    }
}

// Whatever way run_tui is left (an exception included), every terminal mode it turned
// on is off again and no Git command it started runs on; after the normal exit sequence
// there is nothing left to undo.
struct InterfaceGuard {
    InterfaceGuard() = default;
    InterfaceGuard(const InterfaceGuard&) = delete;
    InterfaceGuard& operator=(const InterfaceGuard&) = delete;
    ~InterfaceGuard() {
        kit::emergency_restore();
        platform::end_bound_children();
    }
};

struct Screen {
    kit::Terminal terminal;
    kit::EventSource events;
};

std::expected<Screen, std::string> set_up_terminal() {
    const auto fail = [](const std::string& error) {
        return std::unexpected(fmt::format("cannot start the terminal UI: {}", error));
    };
    if (auto r = kit::enable_raw_mode(kInput); !r) return fail(r.error());
    auto terminal = [&]() -> std::expected<kit::Terminal, std::string> {
        if (auto r = kit::enter_alternate_screen(kOutput); !r) return std::unexpected(r.error());
        return kit::Terminal::open(kOutput);
    }();
    if (!terminal) {
        restore_terminal();
        return fail(terminal.error());
    }
    auto events = kit::EventSource::open(kInput);
    if (!events) {
        restore_terminal();
        return fail(events.error());
    }
    // Without the wheel the interface still works; without marked pastes a pasted "y"
    // could still confirm, but the interface works.
    (void)kit::enable_mouse_capture(kOutput);
    (void)kit::enable_bracketed_paste(kOutput);
    return Screen{std::move(*terminal), std::move(*events)};
}

// Gives the terminal back as the exit does, stops, and on continuing sets the modes up
// again; the next draw writes every cell, since the screen was the shell's meanwhile.
std::expected<void, std::string> stop_and_continue(Screen& screen) {
    const kit::TerminalModes modes = kit::release_modes();
    screen.events.stop_until_continued();
    if (auto r = kit::reapply_modes(modes); !r) return r;
    return screen.terminal.clear();
}

// Applies one input event; returns whether the screen must be drawn again.
std::expected<bool, std::string> handle_event(App& app, const kit::Event& event, Screen& screen,
                                              const KeyServices& services) {
    if (const auto* key = std::get_if<kit::KeyEvent>(&event)) {
        if (handle_key(app, *key, services) == Repaint::Full) {
            if (auto cleared = screen.terminal.clear(); !cleared) {
                return std::unexpected(cleared.error());
            }
        }
        return true;
    }
    if (const auto* mouse = std::get_if<kit::MouseEvent>(&event)) {
        apply_wheel(app, *mouse);
        return true;
    }
    if (const auto* paste = std::get_if<kit::PasteEvent>(&event)) {
        return handle_paste(app, paste->text);
    }
    std::expected<void, std::string> repainted;
    if (std::holds_alternative<kit::StopEvent>(event)) {
        repainted = stop_and_continue(screen);
    } else if (std::holds_alternative<kit::ContinueEvent>(event)) {
        // Continued without our own stop (SIGSTOP): the modes may be gone all the same.
        repainted = kit::reapply_modes(kit::recorded_modes());
        if (repainted) repainted = screen.terminal.clear();
    }
    if (!repainted) return std::unexpected(repainted.error());
    return true;
}

// Runs turns until the user quits; the error is an I/O failure's text.
std::expected<void, std::string> main_loop(App& app, UiReceiver& receiver, Screen& screen,
                                           const KeyServices& services, const FrameDrawer& draw) {
    Clock::time_point last_draw = Clock::now() - std::chrono::seconds(1);
    bool redraw = true;
    while (true) {
        const Clock::time_point deadline = Clock::now() + kDrainBudget;
        const std::size_t applied =
            drain_messages(app, receiver, deadline, [] { return Clock::now(); });
        if (applied > 0 || idle_redraw_due(redraw, last_draw, Clock::now())) {
            ++app.tick;
            auto drawn = screen.terminal.draw(
                [&app, &draw](kit::Buffer& buf, kit::Rect area) { draw(app, buf, area); });
            if (!drawn) return drawn;
            last_draw = Clock::now();
        }
        auto event = screen.events.poll(kInputWait);
        if (!event) return std::unexpected(event.error());
        redraw = false;
        if (event->has_value()) {
            auto handled = handle_event(app, **event, screen, services);
            if (!handled) return std::unexpected(handled.error());
            redraw = *handled;
        }
        if (app.quit) return {};
    }
}

// The main loop; whatever it throws (memory ran out while drawing, say) ends it like an
// I/O failure, with the reason as its text, so that the exit sequence still runs.
std::expected<void, std::string> guarded_main_loop(App& app, UiReceiver& receiver, Screen& screen,
                                                   const KeyServices& services,
                                                   const FrameDrawer& draw) {
    try {
        return main_loop(app, receiver, screen, services, draw);
    } catch (...) {
        return std::unexpected(failure_text({}, std::current_exception()));
    }
}

// Ctrl-C stops only a flag nothing reads while the running cleanup item finishes. Without
// the memory or the thread for that bridge the wait goes on all the same.
std::unique_ptr<cli::InterruptGuard> bridge_for_the_wait() {
    try {
        return cli::install_interrupt_bridge(make_cancel_flag());
    } catch (...) {
        return nullptr;
    }
}

// Mouse capture and marked pastes off, then the terminal back. A failure is ignored like
// the set-up's; one without even the memory to be told still frees the screen.
void give_back_terminal() {
    try {
        (void)kit::disable_mouse_capture(kOutput);
        (void)kit::disable_bracketed_paste(kOutput);
        restore_terminal();
    } catch (...) {
        kit::emergency_restore();
    }
}

// Stops what still runs and gives the terminal back; waits only for a cleanup item under
// way. It runs after the loop however the loop ended, so no step of it gives up for want
// of memory.
void exit_sequence(App& app, UiReceiver& receiver) {
    receiver.close();
    // Once raw mode is off Ctrl-C is a real SIGINT, which would end the process in the
    // middle of a cleanup item: the bridge goes in before the terminal is given back.
    const bool cleanup_running = app.dev.cleanup_thread && !app.dev.cleanup_thread->finished();
    std::unique_ptr<cli::InterruptGuard> bridge;
    if (cleanup_running) bridge = bridge_for_the_wait();
    give_back_terminal();
    stop_running_scan(app.disk);
    (void)request_stop(app.dev);
    if (cleanup_running) {
        std::fputs("bramvelt: waiting for the running cleanup item to stop…\n", stderr);
        if (app.dev.cleanup_thread->joinable()) app.dev.cleanup_thread->join();
        app.dev.cleanup_thread.reset();
    }
    bridge.reset();
    // Search threads are not waited for; the Git commands they still run end here.
    platform::end_bound_children();
}

std::expected<void, std::string> run_interface(const UiOptions& options, const FrameDrawer& draw) {
    auto [sender, receiver] = make_channel<UiMessage>();
    App app(sender);
    app.home = cli::home_dir();
    app.launcher = build_launcher_entries(launcher_working_folder(), app.home, read_volumes());
    app.dev.verify_remotes = options.verify_remotes;
    if (options.dev_folders) {
        open_dev_view(app, options.dev_folders);
    }
    const KeyServices services = KeyServices::real();
    if (options.folder) {
        if (auto failed =
                start_disk_scan(app.disk, *options.folder, app.sender, services.start_thread)) {
            set_status(app, std::move(*failed));
        }
    }

    // A Git child of a search or cleanup under way runs in a process group of its own:
    // a signal that ends the interface ends it first, so none runs on without us.
    kit::install_emergency_restore(platform::end_bound_children);
    auto screen = set_up_terminal();
    if (!screen) {
        // Workers already started stop on their own once their next send fails.
        receiver.close();
        stop_running_scan(app.disk);
        return std::unexpected(screen.error());
    }
    auto result = guarded_main_loop(app, receiver, *screen, services, draw);
    exit_sequence(app, receiver);
    return result;
}

}  // namespace

std::expected<void, std::string> run_tui(const UiOptions& options) {
    return run_tui(options,
                   [](App& app, kit::Buffer& buf, kit::Rect area) { draw_frame(app, buf, area); });
}

std::expected<void, std::string> run_tui(const UiOptions& options, const FrameDrawer& draw) {
    const InterfaceGuard guard;
    try {
        return run_interface(options, draw);
    } catch (...) {
        // Before the loop, or in the exit sequence: the guard still gives everything back.
        return std::unexpected(failure_text({}, std::current_exception()));
    }
}

}  // namespace bramvelt::tui
