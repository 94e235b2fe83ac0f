#include "platform/memory.hpp"
#include "platform/open_file_limit.hpp"
#include "platform/signals.hpp"
#include "platform/standard_descriptors.hpp"
#include "src/cli/entry.hpp"

int main(int argc, char** argv) {
    bramvelt::platform::reserve_standard_descriptors();
    bramvelt::platform::tune_allocator_for_large_trees();
    bramvelt::platform::ignore_sigpipe();
    bramvelt::platform::default_sigchld();
    // A removal walk holds one descriptor per level; a failure keeps the limit there was.
    (void)bramvelt::platform::raise_open_file_limit();
    return bramvelt::cli::cli_main(argc, argv);
}
