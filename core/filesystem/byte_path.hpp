#pragma once
// Paths as bytes, split the way the guarded operations need: a leading "/" is the root,
// empty and "." pieces after the first are dropped, ".." is kept as a parent step. These
// answer "parent", "final name", "inside" and "equal as paths" component by component.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bramvelt::filesystem {

enum class ComponentKind { Root, CurDir, ParentDir, Normal };

struct Component {
    ComponentKind kind;
    std::string_view text;  // the bytes of the piece ("/" for the root)

    friend bool operator==(const Component&, const Component&) = default;
};

// "/a//./b/" -> [Root, a, b]; "./a" -> [CurDir, a]; "a/../b" -> [a, .., b].
std::vector<Component> path_components(std::string_view path);

// The path without its last component; nothing for a root or an empty path. A single
// relative name has the empty path as parent.
std::optional<std::string> path_parent(std::string_view path);

// The last component when it is a normal name; nothing for a root, "..", or empty.
std::optional<std::string> path_file_name(std::string_view path);

// `base` joined with `name` by one "/" (none added when base already ends with one).
std::string path_join(std::string_view base, std::string_view name);

// The components of `path` after those of `prefix`, joined with "/", when `prefix`'s
// components begin `path`'s; nothing otherwise ("/b/rx" does not begin with "/b/r").
std::optional<std::vector<Component>> strip_path_prefix(std::string_view path,
                                                        std::string_view prefix);

// Equal component by component: "/a/b/" equals "/a//b".
bool paths_equal(std::string_view a, std::string_view b);

}  // namespace bramvelt::filesystem
