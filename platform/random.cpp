#include "platform/random.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace bramvelt::platform {

std::expected<void, int> random_bytes(std::span<unsigned char> out) {
    // getentropy hands out at most 256 bytes per call.
    for (std::size_t done = 0; done < out.size();) {
        const std::size_t chunk = std::min<std::size_t>(256, out.size() - done);
        if (::getentropy(out.data() + done, chunk) != 0) return std::unexpected(errno);
        done += chunk;
    }
    return {};
}

std::expected<std::string, int> random_hex(std::size_t bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::vector<unsigned char> raw(bytes);
    if (auto filled = random_bytes(raw); !filled) return std::unexpected(filled.error());
    std::string out;
    out.reserve(bytes * 2);
    for (const unsigned char b : raw) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0f]);
    }
    return out;
}

}  // namespace bramvelt::platform
