#pragma once
// A real terminal for end-to-end tests of the interface: a tmux server on a socket of
// its own, with keys in and the screen (and the pane's terminal modes) out.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/run_process.hpp"

namespace bramvelt::testing {

bool tmux_available();

// The text as one word for /bin/sh.
std::string shell_quoted(const std::string& text);

// What a pane runs once its program has ended: it keeps the pane, and the screen the
// program left, until the server is killed, and waits for nothing.
inline constexpr const char* kHoldPane = "exec tail -f /dev/null";

// A pane command that runs the program line, then prints "EXIT=" and its status, the
// terminal's isig, icanon and echo settings as the shell finds them, and "END".
std::string pane_command(const std::string& program_line);

// One session of `width` × `height` running `command`; the server is killed with
// everything in it when the object goes.
class Tmux {
  public:
    Tmux(const std::string& name, const std::string& command, int width, int height);
    ~Tmux();
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    ProcessResult tmux(std::vector<std::string> args) const;
    // The pane's text, with its colours as escape sequences when asked.
    std::string screen(bool colours = false) const;
    void keys(const std::vector<std::string>& keys) const;
    void literal(const std::string& text) const;
    // A tmux format (such as "#{alternate_on}") as the pane answers it.
    std::string display(const std::string& format) const;
    // Polls the screen until `pred` holds; false (with the last screen reported as a
    // failure) once the time limit has passed.
    bool wait_for(const std::function<bool(const std::string&)>& pred,
                  std::chrono::milliseconds limit = std::chrono::seconds(60)) const;
    bool wait_for_text(const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(60)) const;
    // Until `text` is nowhere on the screen (a dialog or mark that closes).
    bool wait_for_text_gone(const std::string& text,
                            std::chrono::milliseconds limit = std::chrono::seconds(60)) const;

  private:
    std::string socket_;
};

// The modes a program must give back (after a pane_command's program ended): no
// alternate screen, the cursor shown, no mouse reporting, line editing and signals on.
void expect_modes_restored(const Tmux& t);

}  // namespace bramvelt::testing
