#include "core/development/git_launch.hpp"

#include <stdlib.h>

#include "core/development/git_runner.hpp"
#include "platform/program_lookup.hpp"

extern char** environ;

namespace bramvelt::development {

GitLaunch current_git_launch(ProgramLookup lookup) {
    GitLaunch launch;
    launch.argv0 = git_path();
    launch.program = launch.argv0;
    if (lookup == ProgramLookup::Once) {
        // The start searches the PATH of this process, not the child's.
        const char* path = ::getenv("PATH");
        if (auto found = platform::find_program_on_path(
                launch.argv0,
                path != nullptr ? std::optional<std::string_view>(path) : std::nullopt)) {
            launch.program = std::move(*found);
        }
    }
    std::vector<std::string> inherited;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        inherited.emplace_back(*e);
    }
    launch.environment = git_child_environment(inherited);
    return launch;
}

}  // namespace bramvelt::development
