#include "platform/file_system_type.hpp"

#include <linux/magic.h>
#include <sys/vfs.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

#include "platform/io.hpp"

namespace bramvelt::platform {

std::expected<FileSystemType, int> file_system_type(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
    const std::string text(path);
    struct statfs st {};
    if (retry_on_eintr([&] { return ::statfs(text.c_str(), &st); }) != 0) {
        return std::unexpected(errno);
    }
    // The numbers are 32 bits wide; where f_type is a signed 32-bit word the high ones
    // come back negative.
    return FileSystemType{static_cast<std::uint32_t>(st.f_type)};
}

bool is_memory_file_system(FileSystemType type) {
    static constexpr std::array<std::uint32_t, 21> kMemory = {
        TMPFS_MAGIC,          RAMFS_MAGIC,        HUGETLBFS_MAGIC,     PROC_SUPER_MAGIC,
        SYSFS_MAGIC,          CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, DEVPTS_SUPER_MAGIC,
        DEBUGFS_MAGIC,        TRACEFS_MAGIC,      SECURITYFS_MAGIC,    PSTOREFS_MAGIC,
        EFIVARFS_MAGIC,       BPF_FS_MAGIC,       BINFMTFS_MAGIC,      NSFS_MAGIC,
        SELINUX_MAGIC,        SMACK_MAGIC,        AAFS_MAGIC,          RDTGROUP_SUPER_MAGIC,
        BINDERFS_SUPER_MAGIC,
    };
    return std::ranges::find(kMemory, type.magic) != kMemory.end();
}

}  // namespace bramvelt::platform
