#pragma once
// Where the file system that holds a folder is mounted: the top directory under which a
// trash of that file system lives.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace bramvelt::trash_host {

// The mount point of `folder` (a real, absolute path: no link, no "." or ".."), which
// must have `device`: going up from `folder`, the first folder the kernel marks as a
// mount root, or the last one before the device changes, or "/". The error is errno;
// EXDEV when `folder` itself is not on `device`.
std::expected<std::string, int> find_top_directory(std::string_view folder, std::uint64_t device);

// "/a/b" -> "/a", "/a" -> "/"; `path` is absolute and has no trailing "/".
std::string_view parent_path(std::string_view path);

}  // namespace bramvelt::trash_host
