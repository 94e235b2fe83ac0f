#pragma once
// Where a program name without "/" leads when it is started through the search path
// (posix_spawnp, execvp): the first folder of PATH holding an entry the system would
// execute. A caller that starts one program many times looks it up once instead of
// letting every start try each folder in turn.

#include <optional>
#include <string>
#include <string_view>

namespace bramvelt::platform {

// The search path the C library uses when PATH is not set.
inline constexpr std::string_view kLibraryDefaultSearchPath = "/bin:/usr/bin";

// The absolute path a start of `name` through `search_path` (the value of PATH; nothing
// when it is unset) would execute. Nothing unless that is certain without starting it:
// no folder holds it, the name holds a "/", a relative folder comes first (its meaning
// follows the working folder), or an entry fails in a way that would end the library's
// search with an error instead of moving on.
std::optional<std::string> find_program_on_path(std::string_view name,
                                                std::optional<std::string_view> search_path);

}  // namespace bramvelt::platform
