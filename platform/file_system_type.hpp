#pragma once
// The type of the file system that holds a path, as the kernel names it, rather than the
// mount's source, which is free text chosen by whoever mounted it. On Linux the type is
// statfs's f_type, one of the numbers of <linux/magic.h>; a macOS port would read
// f_fstypename.

#include <cstdint>
#include <expected>
#include <string_view>

namespace bramvelt::platform {

struct FileSystemType {
    std::uint32_t magic = 0;

    friend bool operator==(FileSystemType, FileSystemType) = default;
};

// The type of the file system mounted at, or holding, `path`; a final link is followed,
// as `df` follows it. The error is errno (EINVAL for a path holding a NUL byte).
std::expected<FileSystemType, int> file_system_type(std::string_view path);

// Whether the file system keeps nothing on a disk: tmpfs (which devtmpfs also reports),
// ramfs and hugetlbfs in memory, and the kernel's own views (proc, sysfs, cgroups, devpts,
// and the like). A user never wants one of these as a volume.
bool is_memory_file_system(FileSystemType type);

}  // namespace bramvelt::platform
