#include "core/policy/normalize.hpp"

#include <utility>

#include "platform/utf8.hpp"

namespace bramvelt::policy {
namespace {

bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::string error(std::string_view message) {
    return std::string(message);
}

}  // namespace

bool contains_nul(std::string_view bytes) {
    return bytes.find('\0') != std::string_view::npos;
}

std::expected<std::string, std::string> normalize_policy_path(std::string_view path, HostOs host) {
    if (path.empty() || contains_nul(path) || path.size() > kMaxPolicyPathBytes) {
        return std::unexpected(error(kPathEmptyNulOrLong));
    }

    const bool windows = host == HostOs::Windows;
    std::string root;
    std::string converted;
    std::string_view rest;
    if (windows) {
        converted.assign(path);
        for (char& c : converted) {
            if (c == '\\') c = '/';
        }
        if (converted.starts_with("//")) {
            return std::unexpected(error(kUncRequiresTransport));
        }
        if (converted.size() < 3 || !is_ascii_letter(converted[0]) || converted[1] != ':' ||
            converted[2] != '/') {
            return std::unexpected(error(kDrivePathRequired));
        }
        root = converted.substr(0, 3);
        rest = std::string_view(converted).substr(3);
    } else {
        if (path.front() != '/') {
            return std::unexpected(error(kAbsolutePathRequired));
        }
        root = "/";
        const std::size_t first = path.find_first_not_of('/');
        rest = first == std::string_view::npos ? std::string_view() : path.substr(first);
    }

    std::vector<std::string_view> kept;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find('/', start);
        if (end == std::string_view::npos) end = rest.size();
        const std::string_view piece = rest.substr(start, end - start);
        start = end + 1;
        if (piece.empty() || piece == ".") {
            continue;
        }
        if (piece == "..") {
            if (kept.empty()) {
                return std::unexpected(error(kPathEscapesRoot));
            }
            kept.pop_back();
            continue;
        }
        if (windows && (piece.back() == ' ' || piece.back() == '.' ||
                        piece.find(':') != std::string_view::npos)) {
            return std::unexpected(error(kAmbiguousWindowsComponent));
        }
        kept.push_back(piece);
    }

    std::string out = std::move(root);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) out.push_back('/');
        out.append(kept[i]);
    }
    return out;
}

std::expected<std::string, std::string> normalize_local_path(std::string_view path) {
    return normalize_policy_path(path, HostOs::MacOs);
}

std::expected<std::string, filesystem::IoError> normalize_canonical_path(std::string_view bytes,
                                                                         HostOs host) {
    auto normalized = normalize_policy_path(platform::to_utf8_lossy(bytes), host);
    if (!normalized) {
        return std::unexpected(filesystem::IoError::other(std::move(normalized.error())));
    }
    return std::move(*normalized);
}

std::vector<std::string> normalize_path_list(std::vector<std::string> paths, HostOs host) {
    for (std::string& path : paths) {
        if (auto normalized = normalize_policy_path(path, host)) {
            path = std::move(*normalized);
        }
    }
    return paths;
}

}  // namespace bramvelt::policy
