#pragma once
// An entry addressed through its opened parent folder, and the operations that act on
// it only while its authorized identity still holds. Every operation re-reads the entry
// through the parent descriptor; none retries, sleeps or falls back to a path.

#include <expected>
#include <utility>
#include <string>
#include <string_view>

#include "core/filesystem/identity.hpp"
#include "core/filesystem/io_error.hpp"
#include "platform/fd.hpp"

namespace bramvelt::filesystem {

inline constexpr std::string_view kCannotOperateOnRoot = "Cannot operate on a root";
inline constexpr std::string_view kMissingFilename = "Missing filename";
inline constexpr std::string_view kNulInFilename = "NUL in filename";
inline constexpr std::string_view kNulInParentPath = "NUL in parent path";
inline constexpr std::string_view kItemChanged =
    "Item changed since authorization; refresh before cleanup";
inline constexpr std::string_view kItemChangedKeptAs =
    "Item changed since authorization; refresh before cleanup. Its name was taken meanwhile, "
    "so it was left as ";
inline constexpr std::string_view kRemovingPrefix = ".bramvelt-removing-";
inline constexpr std::string_view kParentChanged = "Parent directory changed since authorization";
inline constexpr std::string_view kDirectoryChangedWhileOpening = "Directory changed while opening";
inline constexpr std::string_view kFileChangedWhileOpening = "File changed while opening";

// How `open_verified_file` opens the file.
enum class FileAccess { ReadOnly, ReadWrite };

// What `unlink_verified` removes: an empty folder, or any entry that is not a folder.
enum class UnlinkAs { NonDirectory, Directory };

// An entry addressed through its opened parent folder. Only the two openers below make
// one, so the name is always a plain name (no "/", not "." or ".."), free of NUL bytes.
// Owns the parent's descriptor, opened without following any link on the way, and closes
// it when dropped; the parent stays pinned all that time.
class ParentHandle {
  public:
    ParentHandle(ParentHandle&&) noexcept = default;
    ParentHandle& operator=(ParentHandle&&) noexcept = default;
    ParentHandle(const ParentHandle&) = delete;
    ParentHandle& operator=(const ParentHandle&) = delete;

    const std::string& path() const { return path_; }  // the parent's real path joined with name()
    const std::string& name() const { return name_; }
    int parent_fd() const { return parent_fd_.get(); }

  private:
    ParentHandle(std::string path, std::string name, platform::Fd parent_fd)
        : path_(std::move(path)), name_(std::move(name)), parent_fd_(std::move(parent_fd)) {}
    friend std::expected<ParentHandle, IoError> open_parent_dir(std::string_view path);
    friend std::expected<ParentHandle, IoError> open_real_parent(std::string_view real_path);

    std::string path_;
    std::string name_;
    platform::Fd parent_fd_;
};

// Resolves the parent's real path and opens it. Fails with kCannotOperateOnRoot when the
// path has no parent, kMissingFilename when its last component is not a plain name.
std::expected<ParentHandle, IoError> open_parent_dir(std::string_view path);

// The parent of a path that is already real (a policy decision's canonical path), opened
// as written with no link followed anywhere: a link that now stands on the way fails the
// open (ELOOP) instead of redirecting it. Same failures as open_parent_dir otherwise.
std::expected<ParentHandle, IoError> open_real_parent(std::string_view real_path);

// The entry under the parent descriptor still has exactly `authorized` (kItemChanged), and
// the handle's parent path still names the folder held open (kParentChanged).
std::expected<void, IoError> check_authorized_identity(const ParentHandle& handle,
                                                       const FileIdentity& authorized);

// Check, open the folder relative to the parent without following a link, compare again.
std::expected<platform::Fd, IoError> open_verified_dir(const ParentHandle& handle,
                                                       const FileIdentity& authorized);

// As above for a file, read-only or read-write, non-blocking; never creates or truncates.
std::expected<platform::Fd, IoError> open_verified_file(const ParentHandle& handle,
                                                        FileAccess access,
                                                        const FileIdentity& authorized);

// Check, then remove the entry relative to the parent (a folder must already be empty).
// An entry that is not a folder is first renamed inside its parent to a private name
// (kRemovingPrefix and random hex) and checked again there, so a file renamed over the
// name meanwhile is never the one removed: it is put back (kItemChanged), or left under
// the private name when its own name was taken meanwhile (kItemChangedKeptAs, with that
// name). A file system that cannot rename without replacing gets the check-then-unlink.
std::expected<void, IoError> unlink_verified(const ParentHandle& handle, UnlinkAs kind,
                                             const FileIdentity& authorized);

// Test seam: called between the identity check and the removal of every unlink_verified,
// so a test can change the entry in that window. Not for production callers.
void set_before_unlink_hook_for_testing(void (*hook)());

}  // namespace bramvelt::filesystem
