#pragma once
// Path relations of the development search. Paths are compared component by component
// ("/a/" equals "/a", "/ab" is not inside "/a"); nothing here resolves a link unless its
// name says so.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bramvelt::development {

// The components of a path: "/" first for an absolute path, then each name; empty and
// "." components (other than a leading ".") are dropped, ".." is kept.
std::vector<std::string_view> path_components(std::string_view path);

// `path` lies at or below `root`.
bool path_inside(std::string_view path, std::string_view root);
bool path_equal(std::string_view a, std::string_view b);

// `base` joined with a relative `name` with one separator between them.
std::string join_path(std::string_view base, std::string_view name);

// The final component when it is a normal name (not "/", "." or ".."); raw bytes.
std::optional<std::string_view> final_name(std::string_view path);

// The path without its final component; nothing for "/" or an empty path.
std::optional<std::string> parent_path(std::string_view path);

// The form of `path` to walk when it lies inside the search roots (its canonical path,
// or its data-volume form), else nothing.
std::optional<std::string> path_in_roots(const std::vector<std::string>& roots,
                                         std::string_view path);

// True when some prefix of the path, the whole path included, is a symbolic link or
// cannot be examined without following links.
bool has_symlink_component(std::string_view path);

}  // namespace bramvelt::development
