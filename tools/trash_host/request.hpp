#pragma once
// The request the host reads on its standard input: one JSON object naming the entry to
// move and the identity it must still have.

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace bramvelt::trash_host {

inline constexpr std::size_t kMaxRequestBytes = 65536;

struct TrashRequest {
    std::string device;  // decimal text, compared as text
    std::string inode;   // decimal text, compared as text
    // "directory", "file" or "symlink"; anything else (or a value that is not a string)
    // is kept as nothing and matches no entry.
    std::optional<std::string> kind;
    std::string path;  // absolute, not "/"
};

// The request, or kInvalidRequest: more than kMaxRequestBytes, not JSON (invalid UTF-8
// included), no object, "path" not a string that starts with "/" and is not "/" itself
// (nor holds a NUL byte, nor a component that is empty, "." or ".."), "device" or
// "inode" not strings.
std::expected<TrashRequest, std::string_view> parse_trash_request(std::string_view bytes);

}  // namespace bramvelt::trash_host
