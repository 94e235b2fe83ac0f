#include "platform/memory.hpp"
#include "platform/signals.hpp"
#include "src/cli/entry.hpp"

int main(int argc, char** argv) {
    bramvelt::platform::tune_allocator_for_large_trees();
    bramvelt::platform::ignore_sigpipe();
    return bramvelt::cli::cli_main(argc, argv);
}
