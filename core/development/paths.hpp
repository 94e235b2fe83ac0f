#pragma once
// Path relations of the development search. Paths are compared component by component
// ("/a/" equals "/a", "/ab" is not inside "/a"); nothing here resolves a link unless its
// name says so.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bramvelt::development {

// `path` lies at or below `root`.
bool path_inside(std::string_view path, std::string_view root);

// `path` relative to `root` as text (invalid UTF-8 replaced), its components joined by
// "/"; empty when it does not lie below `root`.
std::string relative_path(std::string_view path, std::string_view root);

// The final component when it is a normal name (not "/", "." or ".."): a view into
// `path`, unlike filesystem::path_file_name.
std::optional<std::string_view> final_name(std::string_view path);

// The form of `path` to walk when it lies inside the search roots (its canonical path,
// or its data-volume form), else nothing.
std::optional<std::string> path_in_roots(const std::vector<std::string>& roots,
                                         std::string_view path);

// True when some prefix of the path, the whole path included, is a symbolic link or
// cannot be examined without following links.
bool has_symlink_component(std::string_view path);

}  // namespace bramvelt::development
