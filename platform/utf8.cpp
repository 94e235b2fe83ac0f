#include "platform/utf8.hpp"

#include <cstdint>

namespace bramvelt::platform {
namespace {

// Length of the well-formed sequence starting at `pos`, or 0 when it is ill-formed;
// `valid_prefix` receives how many bytes form a maximal valid prefix (at least 1).
std::size_t sequence_length(std::string_view s, std::size_t pos, std::size_t& valid_prefix) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t b0 = byte(pos);
    valid_prefix = 1;
    if (b0 < 0x80) {
        return 1;
    }
    std::size_t need;
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < need; ++i) {
        if (pos + i >= s.size()) {
            return 0;
        }
        const std::uint8_t b = byte(pos + i);
        const std::uint8_t min = i == 1 ? lo : 0x80;
        const std::uint8_t max = i == 1 ? hi : 0xBF;
        if (b < min || b > max) {
            return 0;
        }
        valid_prefix = i + 1;
    }
    return need;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
            ++pos;
            continue;
        }
        std::size_t prefix;
        const std::size_t len = sequence_length(bytes, pos, prefix);
        if (len == 0) {
            return false;
        }
        pos += len;
    }
    return true;
}

std::string to_utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t prefix;
        const std::size_t len = sequence_length(bytes, pos, prefix);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            pos += prefix;
        } else {
            out.append(bytes.substr(pos, len));
            pos += len;
        }
    }
    return out;
}

char32_t next_code_point(std::string_view text, std::size_t& pos) {
    std::size_t prefix;
    const std::size_t len = sequence_length(text, pos, prefix);
    if (len == 0) {
        pos += prefix;
        return U'\uFFFD';
    }
    const auto byte = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<std::uint8_t>(text[pos + i]));
    };
    char32_t cp;
    switch (len) {
        case 1:
            cp = byte(0);
            break;
        case 2:
            cp = ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
            break;
        case 3:
            cp = ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
            break;
        default:
            cp = ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) |
                 (byte(3) & 0x3F);
            break;
    }
    pos += len;
    return cp;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::size_t count_code_points(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++count;
        }
    }
    return count;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin;
        if (!is_white_space(next_code_point(text, next))) break;
        begin = next;
    }
    std::size_t end = begin;
    std::size_t pos = begin;
    while (pos < text.size()) {
        if (!is_white_space(next_code_point(text, pos))) end = pos;
    }
    return text.substr(begin, end - begin);
}

}  // namespace bramvelt::platform
