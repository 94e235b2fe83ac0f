#pragma once
// Extended attributes of an entry itself: a final symbolic link is never followed.

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace bramvelt::platform {

// The attribute names in the order the system lists them. A file system without
// extended attributes (ENOTSUP) gives none. The error is errno.
std::expected<std::vector<std::string>, int> list_attribute_names(std::string_view path);

// One attribute's value, of any size. A missing attribute fails with ENODATA.
std::expected<std::string, int> read_attribute(std::string_view path, std::string_view name);

// Sets (creating or replacing) one attribute.
std::expected<void, int> write_attribute(std::string_view path, std::string_view name,
                                         std::string_view value);

// The same on an open file or folder.
std::expected<std::vector<std::string>, int> list_attribute_names_fd(int fd);
std::expected<std::string, int> read_attribute_fd(int fd, std::string_view name);
std::expected<void, int> write_attribute_fd(int fd, std::string_view name, std::string_view value);

}  // namespace bramvelt::platform
