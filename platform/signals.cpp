#include "platform/signals.hpp"

#include <csignal>

namespace bramvelt::platform {

void ignore_sigpipe() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace bramvelt::platform
