#include "core/filesystem/byte_path.hpp"

namespace bramvelt::filesystem {

std::vector<Component> path_components(std::string_view path) {
    std::vector<Component> out;
    std::size_t pos = 0;
    if (path.starts_with('/')) {
        out.push_back({ComponentKind::Root, path.substr(0, 1)});
        pos = 1;
    }
    while (pos < path.size()) {
        std::size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view piece = path.substr(pos, end - pos);
        pos = end + 1;
        if (piece.empty()) {
            continue;
        }
        if (piece == ".") {
            // Only a leading "." of a relative path is kept, as the current folder.
            if (piece.data() == path.data()) out.push_back({ComponentKind::CurDir, piece});
            continue;
        }
        out.push_back({piece == ".." ? ComponentKind::ParentDir : ComponentKind::Normal, piece});
    }
    return out;
}

namespace {

std::string join_components(const std::vector<Component>& parts, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (parts[i].kind == ComponentKind::Root) {
            out.assign(1, '/');
            continue;
        }
        if (!out.empty() && out.back() != '/') out.push_back('/');
        out.append(parts[i].text);
    }
    return out;
}

}  // namespace

std::optional<std::string> path_parent(std::string_view path) {
    const std::vector<Component> parts = path_components(path);
    if (parts.empty() || parts.back().kind == ComponentKind::Root) {
        return std::nullopt;
    }
    return join_components(parts, parts.size() - 1);
}

std::optional<std::string> path_file_name(std::string_view path) {
    const std::vector<Component> parts = path_components(path);
    if (parts.empty() || parts.back().kind != ComponentKind::Normal) {
        return std::nullopt;
    }
    return std::string(parts.back().text);
}

std::string path_join(std::string_view base, std::string_view name) {
    std::string out(base);
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

std::optional<std::vector<Component>> strip_path_prefix(std::string_view path,
                                                        std::string_view prefix) {
    std::vector<Component> parts = path_components(path);
    const std::vector<Component> head = path_components(prefix);
    if (head.size() > parts.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (!(parts[i] == head[i])) return std::nullopt;
    }
    parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(head.size()));
    return parts;
}

bool paths_equal(std::string_view a, std::string_view b) {
    return path_components(a) == path_components(b);
}

}  // namespace bramvelt::filesystem
