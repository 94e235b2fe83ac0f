#include "platform/signals.hpp"
#include "src/cli/entry.hpp"

int main(int argc, char** argv) {
    bramvelt::platform::ignore_sigpipe();
    bramvelt::platform::default_sigchld();
    return bramvelt::cli::cli_main(argc, argv);
}
