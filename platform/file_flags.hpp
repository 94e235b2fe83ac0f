#pragma once
// File flags of an entry. Linux has no per-file flags word, so every entry reads as 0,
// which means the online-only (dataless) placeholder flag is never set here. Tests can
// mark an entry as dataless by device and inode, so the code paths that skip
// placeholders stay exercised.

#include <sys/types.h>

#include <cstdint>

namespace bramvelt::platform {

// The flag that marks an online-only cloud placeholder.
inline constexpr std::uint32_t kDatalessFlag = 0x40000000;

// The flags of the entry with this device and inode (0 unless a test marked it).
std::uint32_t file_flags(dev_t device, ino_t inode);

// Test seam: from now on the entry reads as dataless. Not for production callers.
void mark_dataless_for_testing(dev_t device, ino_t inode);
void clear_dataless_marks_for_testing();

}  // namespace bramvelt::platform
