#include "platform/last_resort_exit.hpp"
#include "platform/memory.hpp"
#include "platform/open_file_limit.hpp"
#include "platform/signals.hpp"
#include "platform/standard_descriptors.hpp"
#include "src/cli/entry.hpp"

namespace {

constexpr std::string_view kErrorPrefix = "bramvelt: ";

}  // namespace

int main(int argc, char** argv) {
    bramvelt::platform::exit_on_terminate(kErrorPrefix);
    bramvelt::platform::reserve_standard_descriptors();
    bramvelt::platform::tune_allocator_for_large_trees();
    bramvelt::platform::ignore_sigpipe();
    bramvelt::platform::default_sigchld();
    // A removal walk holds one descriptor per level; a failure keeps the limit there was.
    (void)bramvelt::platform::raise_open_file_limit();
    try {
        return bramvelt::cli::cli_main(argc, argv);
    } catch (...) {
        // Only what the entry could not even begin to handle (its arguments' copies).
        bramvelt::platform::write_failure_line(kErrorPrefix, std::current_exception());
        return 1;
    }
}
