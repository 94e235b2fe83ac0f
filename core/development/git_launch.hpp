#pragma once
// How `git` is started: the program to execute, the name the child sees (the one
// git_path() chose) and the child's hardened environment. A search builds one before its
// first command and keeps it, since its environment does not change under it: then no
// start searches PATH again or rebuilds the environment.

#include <cstdint>
#include <string>
#include <vector>

namespace bramvelt::development {

struct GitLaunch {
    std::string program;
    std::string argv0;
    std::vector<std::string> environment;
};

// Either way only the absolute folders of PATH are searched: with a relative one in it,
// a bare name is looked up now in the others.
enum class ProgramLookup : std::uint8_t {
    AtEachStart,  // a bare name is looked up through PATH by every start
    Once,         // looked up now, when the lookup is certain (platform/program_lookup.hpp)
};

// From git_path() and this process's environment as they are now.
GitLaunch current_git_launch(ProgramLookup lookup);

}  // namespace bramvelt::development
