#include "core/development/paths.hpp"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "core/development/file_status.hpp"

namespace bramvelt::development {

std::vector<std::string_view> path_components(std::string_view path) {
    std::vector<std::string_view> out;
    std::size_t pos = 0;
    if (!path.empty() && path.front() == '/') {
        out.push_back(path.substr(0, 1));
        pos = 1;
    }
    while (pos <= path.size()) {
        const std::size_t end = std::min(path.find('/', pos), path.size());
        const std::string_view part = path.substr(pos, end - pos);
        if (!part.empty() && !(part == "." && !(out.empty() && pos == 0))) {
            out.push_back(part);
        }
        pos = end + 1;
    }
    return out;
}

bool path_inside(std::string_view path, std::string_view root) {
    const auto p = path_components(path);
    const auto r = path_components(root);
    if (r.size() > p.size()) {
        return false;
    }
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (p[i] != r[i]) {
            return false;
        }
    }
    return true;
}

bool path_equal(std::string_view a, std::string_view b) {
    return path_components(a) == path_components(b);
}

std::string join_path(std::string_view base, std::string_view name) {
    std::string out(base);
    if (!out.empty() && out.back() != '/') {
        out.push_back('/');
    }
    out.append(name);
    return out;
}

std::optional<std::string_view> final_name(std::string_view path) {
    const auto parts = path_components(path);
    if (parts.empty()) {
        return std::nullopt;
    }
    const std::string_view last = parts.back();
    if (last == "/" || last == "." || last == "..") {
        return std::nullopt;
    }
    return last;
}

std::optional<std::string> parent_path(std::string_view path) {
    const auto parts = path_components(path);
    if (parts.empty() || (parts.size() == 1 && parts[0] == "/")) {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        out = i == 0 ? std::string(parts[0]) : join_path(out, parts[i]);
    }
    return out;
}

std::optional<std::string> canonical_path(const std::string& path) {
    std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), &::free);
    if (!resolved) {
        return std::nullopt;
    }
    return std::string(resolved.get());
}

bool has_symlink_component(std::string_view path) {
    std::string prefix;
    bool first = true;
    for (const std::string_view part : path_components(path)) {
        prefix = first ? std::string(part) : join_path(prefix, part);
        first = false;
        struct stat st {};
        if (::lstat(prefix.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> path_in_roots(const std::vector<std::string>& roots,
                                         std::string_view path) {
    const std::string original(path);
    const std::string c = canonical_path(original).value_or(original);
    const bool inside = std::any_of(roots.begin(), roots.end(),
                                    [&](const std::string& r) { return path_inside(c, r); });
    if (inside && !has_symlink_component(c)) {
        return c;
    }
    if (!c.starts_with('/')) {
        return std::nullopt;
    }
    const std::string d = join_path(kDataVolume, std::string_view(c).substr(1));
    const auto root = std::find_if(roots.begin(), roots.end(), [&](const std::string& r) {
        return path_inside(r, kDataVolume) && path_inside(d, r);
    });
    if (root == roots.end()) {
        return std::nullopt;
    }
    const auto dst = status_follow(d);
    const auto cst = status_follow(c);
    if (dst && dst->is_dir() && cst && cst->is_dir() && dst->device == cst->device &&
        dst->inode == cst->inode && !has_symlink_component(d)) {
        return d;
    }
    return std::nullopt;
}

}  // namespace bramvelt::development
