#pragma once
// A tmux server on a socket of its own, running one command in a pane of a given size,
// for end-to-end tests of the terminal interface: keys in, the screen and the pane's
// modes out. The server is killed with everything in it when the object goes.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/run_process.hpp"

namespace bramvelt::testing {

bool tmux_available();

// The text in single quotes for /bin/sh, with any single quote inside kept.
std::string shell_quoted(const std::string& text);

class Tmux {
  public:
    Tmux(const std::string& name, const std::string& command, int width, int height);
    ~Tmux();
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    ProcessResult tmux(std::vector<std::string> args) const;
    // The pane's text; with `colours`, with its SGR sequences.
    std::string screen(bool colours = false) const;
    // Keys by tmux's names ("Enter", "C-c", "q").
    void keys(const std::vector<std::string>& keys) const;
    // Text typed as it is.
    void literal(const std::string& text) const;
    // A tmux format expanded for the pane ("#{alternate_on}").
    std::string display(const std::string& format) const;
    // Polls the screen until `pred` holds; false (with the last screen reported as a test
    // failure) once the limit, far above what a busy machine needs, has passed.
    bool wait_for(const std::function<bool(const std::string&)>& pred,
                  std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    bool wait_for_text(const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

  private:
    std::string socket_;
};

}  // namespace bramvelt::testing
