#pragma once

namespace bramvelt::platform {

// Whether a call that names an entry follows it when the entry itself is a symbolic link.
// Links in the components before it are another matter (see nofollow_open.hpp).
enum class FollowFinalLink { no, yes };

}  // namespace bramvelt::platform
