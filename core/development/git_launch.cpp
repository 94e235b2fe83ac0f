#include "core/development/git_launch.hpp"

#include <stdlib.h>

#include "core/development/git_runner.hpp"
#include "core/filesystem/byte_path.hpp"
#include "platform/program_lookup.hpp"

extern char** environ;

namespace bramvelt::development {
namespace {

// A start of a bare name searches this process's PATH, relative folders included, and a
// relative folder reaches programs of whatever project is the current folder. With one in
// PATH, the name is looked up here in the absolute folders alone; when none holds it,
// the start is pointed at the first of them, where it fails as for a missing program.
std::string program_from_absolute_folders(const std::string& name, std::string_view path) {
    const std::string search = absolute_search_path(path);
    if (auto found = platform::find_program_on_path(name, search)) return std::move(*found);
    return filesystem::path_join(std::string_view(search).substr(0, search.find(':')), name);
}

}  // namespace

GitLaunch current_git_launch(ProgramLookup lookup) {
    GitLaunch launch;
    launch.argv0 = git_path();
    launch.program = launch.argv0;
    const char* path = ::getenv("PATH");
    const bool bare = launch.argv0.find('/') == std::string::npos;
    if (bare && path != nullptr && absolute_search_path(path) != path) {
        launch.program = program_from_absolute_folders(launch.argv0, path);
    } else if (bare && lookup == ProgramLookup::Once) {
        // The start searches the PATH of this process, not the child's.
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
