#include "core/development/paths.hpp"

#include <algorithm>

#include "core/filesystem/byte_path.hpp"
#include "platform/file_status.hpp"
#include "platform/real_path.hpp"
#include "platform/utf8.hpp"
#include "platform/volume.hpp"

namespace bramvelt::development {

// The component rules are the guarded operations' own, so discovery and removal agree
// on what lies inside what.
bool path_inside(std::string_view path, std::string_view root) {
    return filesystem::strip_path_prefix(path, root).has_value();
}

std::string relative_path(std::string_view path, std::string_view root) {
    const auto rest = filesystem::strip_path_prefix(path, root);
    if (!rest) {
        return {};
    }
    std::string out;
    for (const filesystem::Component& part : *rest) {
        if (!out.empty()) out.push_back('/');
        out.append(part.text);
    }
    return platform::to_utf8_lossy(out);
}

std::optional<std::string_view> final_name(std::string_view path) {
    const auto parts = filesystem::path_components(path);
    if (parts.empty() || parts.back().kind != filesystem::ComponentKind::Normal) {
        return std::nullopt;
    }
    return parts.back().text;
}

bool has_symlink_component(std::string_view path) {
    std::string prefix;
    bool first = true;
    for (const filesystem::Component& part : filesystem::path_components(path)) {
        prefix = first ? std::string(part.text) : filesystem::path_join(prefix, part.text);
        first = false;
        const auto st = platform::status_of_path(prefix, platform::FollowFinalLink::no);
        if (!st || st->is_symlink()) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> path_in_roots(const std::vector<std::string>& roots,
                                         std::string_view path) {
    const std::string original(path);
    const std::string c = platform::real_path(original).value_or(original);
    const bool inside = std::any_of(roots.begin(), roots.end(),
                                    [&](const std::string& r) { return path_inside(c, r); });
    if (inside && !has_symlink_component(c)) {
        return c;
    }
    if (!c.starts_with('/')) {
        return std::nullopt;
    }
    const std::string d =
        filesystem::path_join(platform::kDataVolume, std::string_view(c).substr(1));
    const auto root = std::find_if(roots.begin(), roots.end(), [&](const std::string& r) {
        return path_inside(r, platform::kDataVolume) && path_inside(d, r);
    });
    if (root == roots.end()) {
        return std::nullopt;
    }
    const auto dst = platform::status_of_path(d, platform::FollowFinalLink::yes);
    const auto cst = platform::status_of_path(c, platform::FollowFinalLink::yes);
    if (dst && dst->is_directory() && cst && cst->is_directory() && dst->device == cst->device &&
        dst->inode == cst->inode && !has_symlink_component(d)) {
        return d;
    }
    return std::nullopt;
}

}  // namespace bramvelt::development
