#include "platform/signals.hpp"

#include <csignal>

namespace bramvelt::platform {
namespace {

void set_disposition(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

}  // namespace

void ignore_sigpipe() {
    set_disposition(SIGPIPE, SIG_IGN);
}

void default_sigchld() {
    set_disposition(SIGCHLD, SIG_DFL);
}

}  // namespace bramvelt::platform
