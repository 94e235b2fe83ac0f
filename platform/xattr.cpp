#include "platform/xattr.hpp"

#include <sys/xattr.h>

#include <cerrno>

namespace bramvelt::platform {
namespace {

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// Sizes can change between the size query and the read (ERANGE): ask again.
template <class Call>
std::expected<std::string, int> read_sized(Call call) {
    for (;;) {
        const ssize_t wanted = call(nullptr, 0);
        if (wanted < 0) return std::unexpected(errno);
        std::string buffer(static_cast<std::size_t>(wanted), '\0');
        const ssize_t got = call(buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == ERANGE) continue;
            return std::unexpected(errno);
        }
        buffer.resize(static_cast<std::size_t>(got));
        return buffer;
    }
}

}  // namespace

std::vector<std::string> split_names(const std::string& raw_names);

std::expected<std::vector<std::string>, int> list_attribute_names(std::string_view path) {
    if (has_nul(path)) return std::unexpected(EINVAL);
    const std::string owned(path);
    auto raw = read_sized([&](char* buffer, std::size_t size) {
        return llistxattr(owned.c_str(), buffer, size);
    });
    if (!raw) {
        if (raw.error() == ENOTSUP) return std::vector<std::string>{};
        return std::unexpected(raw.error());
    }
    return split_names(*raw);
}

std::expected<std::vector<std::string>, int> list_attribute_names_fd(int fd) {
    auto raw = read_sized([&](char* buffer, std::size_t size) {
        return flistxattr(fd, buffer, size);
    });
    if (!raw) {
        if (raw.error() == ENOTSUP) return std::vector<std::string>{};
        return std::unexpected(raw.error());
    }
    return split_names(*raw);
}

std::expected<std::string, int> read_attribute_fd(int fd, std::string_view name) {
    if (has_nul(name)) return std::unexpected(EINVAL);
    const std::string owned(name);
    return read_sized([&](char* buffer, std::size_t size) {
        return fgetxattr(fd, owned.c_str(), buffer, size);
    });
}

std::expected<void, int> write_attribute_fd(int fd, std::string_view name, std::string_view value) {
    if (has_nul(name)) return std::unexpected(EINVAL);
    const std::string owned(name);
    if (fsetxattr(fd, owned.c_str(), value.data(), value.size(), 0) != 0) {
        return std::unexpected(errno);
    }
    return {};
}

// The list is NUL-separated.
std::vector<std::string> split_names(const std::string& raw_names) {
    const std::string* raw = &raw_names;
    std::vector<std::string> names;
    std::size_t begin = 0;
    while (begin < raw->size()) {
        const std::size_t end = raw->find('\0', begin);
        const std::size_t stop = end == std::string::npos ? raw->size() : end;
        if (stop > begin) names.emplace_back(raw->substr(begin, stop - begin));
        begin = stop + 1;
    }
    return names;
}

std::expected<std::string, int> read_attribute(std::string_view path, std::string_view name) {
    if (has_nul(path) || has_nul(name)) return std::unexpected(EINVAL);
    const std::string owned_path(path);
    const std::string owned_name(name);
    return read_sized([&](char* buffer, std::size_t size) {
        return lgetxattr(owned_path.c_str(), owned_name.c_str(), buffer, size);
    });
}

std::expected<void, int> write_attribute(std::string_view path, std::string_view name,
                                         std::string_view value) {
    if (has_nul(path) || has_nul(name)) return std::unexpected(EINVAL);
    const std::string owned_path(path);
    const std::string owned_name(name);
    if (lsetxattr(owned_path.c_str(), owned_name.c_str(), value.data(), value.size(), 0) != 0) {
        return std::unexpected(errno);
    }
    return {};
}

}  // namespace bramvelt::platform
