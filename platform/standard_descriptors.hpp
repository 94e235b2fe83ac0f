#pragma once

namespace bramvelt::platform {

// A standard descriptor the parent left closed would be handed to the next file the
// program opens (a Git output file, a pipe to a helper), and the report would be
// written into it. Each closed one of 0, 1 and 2 gets /dev/null opened read-only in its
// place, so writes to it still fail as they would on the closed descriptor.
void reserve_standard_descriptors();

}  // namespace bramvelt::platform
