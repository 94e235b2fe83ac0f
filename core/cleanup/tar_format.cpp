#include "core/cleanup/tar_format.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace bramvelt::cleanup {
namespace {

// Octal with a NUL in the field's last byte; a value that does not fit is written in the
// base-256 form (first byte 0x80, or 0xff for a negative value, then big-endian bytes).
void put_number(TarBlock& block, std::size_t offset, std::size_t length, std::int64_t value) {
    char* field = block.data() + offset;
    const std::size_t digits = length - 1;
    const bool fits = value >= 0 && (digits >= 22 || static_cast<std::uint64_t>(value) <
                                                          (std::uint64_t{1} << (3 * digits)));
    if (fits) {
        std::uint64_t rest = static_cast<std::uint64_t>(value);
        for (std::size_t i = digits; i-- > 0;) {
            field[i] = static_cast<char>('0' + (rest & 7));
            rest >>= 3;
        }
        field[digits] = '\0';
        return;
    }
    auto bits = static_cast<std::uint64_t>(value);
    for (std::size_t i = length; i-- > 1;) {
        field[i] = static_cast<char>(bits & 0xff);
        bits = value < 0 ? (bits >> 8) | (std::uint64_t{0xff} << 56) : bits >> 8;
    }
    field[0] = static_cast<char>(value < 0 ? 0xff : 0x80);
}

void put_text(TarBlock& block, std::size_t offset, std::size_t length, std::string_view text) {
    if (text.empty()) return;
    std::memcpy(block.data() + offset, text.data(), std::min(length, text.size()));
}

void put_checksum(TarBlock& block) {
    std::memset(block.data() + 148, ' ', 8);
    std::uint32_t sum = 0;
    for (const char byte : block) sum += static_cast<unsigned char>(byte);
    std::memset(block.data() + 148, 0, 8);
    for (std::size_t i = 7; i-- > 0;) {
        block[148 + i] = static_cast<char>('0' + (sum & 7));
        sum >>= 3;
    }
}

}  // namespace

TarBlock gnu_header(const TarEntryHeader& entry) {
    TarBlock block{};
    put_text(block, 0, kTarNameField, entry.name);
    put_number(block, 100, 8, static_cast<std::int64_t>(entry.mode));
    put_number(block, 108, 8, static_cast<std::int64_t>(entry.uid));
    put_number(block, 116, 8, static_cast<std::int64_t>(entry.gid));
    put_number(block, 124, 12, static_cast<std::int64_t>(entry.size));
    put_number(block, 136, 12, entry.mtime_seconds);
    block[156] = entry.typeflag;
    put_text(block, 157, kTarNameField, entry.link_name);
    put_text(block, 257, 8, std::string_view("ustar  \0", 8));
    put_number(block, 329, 8, 0);
    put_number(block, 337, 8, 0);
    put_checksum(block);
    return block;
}

TarBlock pax_header(std::uint64_t size) {
    TarBlock block{};
    put_number(block, 124, 12, static_cast<std::int64_t>(size));
    put_number(block, 136, 12, 0);
    block[156] = 'x';
    put_text(block, 257, 8, std::string_view("ustar\0" "00", 8));
    put_checksum(block);
    return block;
}

std::string pax_record(std::string_view key, std::string_view value) {
    const std::size_t body = key.size() + value.size() + 3;  // space, "=", newline
    std::size_t length = body + 1;
    while (std::to_string(length).size() + body != length) {
        length = std::to_string(length).size() + body;
    }
    std::string record = std::to_string(length);
    record += ' ';
    record.append(key);
    record += '=';
    record.append(value);
    record += '\n';
    return record;
}

std::string pax_time(filesystem::int128_t nanoseconds) {
    const bool negative = nanoseconds < 0;
    // The magnitude as unsigned, so the most negative value does not overflow.
    unsigned __int128 magnitude = negative ? static_cast<unsigned __int128>(0) -
                                                 static_cast<unsigned __int128>(nanoseconds)
                                           : static_cast<unsigned __int128>(nanoseconds);
    auto seconds = magnitude / 1'000'000'000;
    const auto rest = static_cast<unsigned>(magnitude % 1'000'000'000);
    std::string whole;
    do {
        whole.insert(whole.begin(), static_cast<char>('0' + static_cast<int>(seconds % 10)));
        seconds /= 10;
    } while (seconds != 0);
    std::string fraction = std::to_string(rest);
    fraction.insert(0, 9 - fraction.size(), '0');
    return (negative ? "-" : "") + whole + "." + fraction;
}

std::string escape_attribute_name(std::string_view name) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string escaped;
    for (const char byte : name) {
        const auto value = static_cast<unsigned char>(byte);
        const bool kept = (value >= 'a' && value <= 'z') || (value >= 'A' && value <= 'Z') ||
                          (value >= '0' && value <= '9') || value == '-' || value == '.' ||
                          value == '_';
        if (kept) {
            escaped.push_back(byte);
        } else {
            escaped.push_back('%');
            escaped.push_back(kDigits[value >> 4]);
            escaped.push_back(kDigits[value & 0x0f]);
        }
    }
    return escaped;
}

std::string base64(std::string_view bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                        reinterpret_cast<const unsigned char*>(bytes.data()),
                                        static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(written));
    return text;
}

std::size_t tar_padding(std::uint64_t size) {
    return static_cast<std::size_t>((kTarBlock - size % kTarBlock) % kTarBlock);
}

}  // namespace bramvelt::cleanup
