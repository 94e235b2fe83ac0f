#include "support/tmux.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

namespace bramvelt::testing {

bool tmux_available() {
    return run_process("/bin/sh", {"-c", "command -v tmux"}).status == 0;
}

std::string shell_quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string pane_command(const std::string& program_line) {
    return program_line +
           "; echo \"EXIT=$?\"; stty -a | tr ' ;' '\\n\\n' | grep -E '^-?(icanon|echo|isig)$' "
           "| tr '\\n' ' '; echo END; " +
           kHoldPane;
}

Tmux::Tmux(const std::string& name, const std::string& command, int width, int height)
    : socket_("bvt-" + std::to_string(::getpid()) + "-" + name) {
    const auto r = tmux(
        {"new-session", "-d", "-x", std::to_string(width), "-y", std::to_string(height), command});
    EXPECT_EQ(r.status, 0) << r.err;
}

Tmux::~Tmux() {
    tmux({"kill-server"});
}

ProcessResult Tmux::tmux(std::vector<std::string> args) const {
    args.insert(args.begin(), {"-L", socket_, "-f", "/dev/null"});
    return run_process("tmux", args);
}

std::string Tmux::screen(bool colours) const {
    std::vector<std::string> args{"capture-pane", "-p"};
    if (colours) args.push_back("-e");
    return tmux(args).out;
}

void Tmux::keys(const std::vector<std::string>& keys) const {
    std::vector<std::string> args{"send-keys"};
    args.insert(args.end(), keys.begin(), keys.end());
    tmux(args);
}

void Tmux::literal(const std::string& text) const {
    tmux({"send-keys", "-l", text});
}

std::string Tmux::display(const std::string& format) const {
    std::string out = tmux({"display-message", "-p", format}).out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

bool Tmux::wait_for(const std::function<bool(const std::string&)>& pred,
                    std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string last;
    while (std::chrono::steady_clock::now() < deadline) {
        last = screen();
        if (pred(last)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "screen never matched:\n" << last;
    return false;
}

bool Tmux::wait_for_text(const std::string& text, std::chrono::milliseconds limit) const {
    return wait_for([&](const std::string& s) { return s.find(text) != std::string::npos; }, limit);
}

bool Tmux::wait_for_text_gone(const std::string& text, std::chrono::milliseconds limit) const {
    return wait_for([&](const std::string& s) { return s.find(text) == std::string::npos; }, limit);
}

void expect_modes_restored(const Tmux& t) {
    EXPECT_EQ(t.display("#{alternate_on}"), "0");
    EXPECT_EQ(t.display("#{cursor_flag}"), "1");
    EXPECT_EQ(t.display("#{mouse_any_flag}#{mouse_button_flag}#{mouse_standard_flag}"
                        "#{mouse_sgr_flag}"),
              "0000");
    // The shell prints the settings a moment after the status.
    ASSERT_TRUE(t.wait_for_text(" END"));
    EXPECT_NE(t.screen().find("isig icanon echo END"), std::string::npos) << t.screen();
}

}  // namespace bramvelt::testing
