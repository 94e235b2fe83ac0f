#include "tools/trash_host/request.hpp"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "tools/trash_host/texts.hpp"

namespace bramvelt::trash_host {
namespace {

// Every component a plain name: "/a//b", "/a/./b", "/a/../b" and "/a/b/" name the entry
// another way, or another entry, or none, so they are refused rather than guessed at.
bool plain_components(std::string_view path) {
    std::size_t start = 1;
    for (;;) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view name = path.substr(start, end - start);
        if (name.empty() || name == "." || name == "..") return false;
        if (end == path.size()) return true;
        start = end + 1;
    }
}

}  // namespace

std::expected<TrashRequest, std::string_view> parse_trash_request(std::string_view bytes) {
    if (bytes.size() > kMaxRequestBytes) return std::unexpected(kInvalidRequest);
    const nlohmann::json value = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (!value.is_object()) return std::unexpected(kInvalidRequest);

    const auto text = [&](const char* key) -> const std::string* {
        const auto it = value.find(key);
        return it != value.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
    };
    const std::string* path = text("path");
    const std::string* device = text("device");
    const std::string* inode = text("inode");
    if (path == nullptr || device == nullptr || inode == nullptr) {
        return std::unexpected(kInvalidRequest);
    }
    if (path->empty() || path->front() != '/' || *path == "/" ||
        path->find('\0') != std::string::npos || !plain_components(*path)) {
        return std::unexpected(kInvalidRequest);
    }
    TrashRequest request{*device, *inode, std::nullopt, *path};
    if (const std::string* kind = text("kind")) request.kind = *kind;
    return request;
}

}  // namespace bramvelt::trash_host
