#pragma once
// A child process on a pseudo-terminal of its own: what the terminal interface's tests
// drive when they need a real terminal in-process rather than tmux.

#include <termios.h>

#include <functional>
#include <string>

namespace bramvelt::testing {

struct PtyEnding {
    std::string output;  // everything the child wrote to its terminal
    termios after{};     // the terminal's settings once the child ended
    int status = 0;      // as waitpid tells it
};

// Forks a child that leads a new session on a new pseudo-terminal of `rows` by `cols`,
// with its standard streams there, and ends with the status `body` returns (or however
// `body` itself ends). Reads all the child writes until its side closes (or nothing comes
// for 30 s), then waits for it.
PtyEnding run_on_own_pty(unsigned short rows, unsigned short cols,
                         const std::function<int()>& body);

}  // namespace bramvelt::testing
