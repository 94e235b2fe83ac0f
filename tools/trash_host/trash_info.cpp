#include "tools/trash_host/trash_info.hpp"

#include <array>

namespace bramvelt::trash_host {
namespace {

bool stays_as_is(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '-':
        case '_':
        case '.':
        case '!':
        case '~':
        case '*':
        case '\'':
        case '(':
        case ')':
        case '/':
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string percent_encode_path(std::string_view path) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (stays_as_is(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kDigits[c >> 4]);
            out.push_back(kDigits[c & 0x0f]);
        }
    }
    return out;
}

std::optional<std::string> deletion_date(std::time_t when) {
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr) return std::nullopt;
    std::array<char, 64> buffer{};
    const std::size_t n = std::strftime(buffer.data(), buffer.size(), "%Y-%m-%dT%H:%M:%S", &local);
    if (n == 0) return std::nullopt;
    return std::string(buffer.data(), n);
}

std::optional<std::string> trash_info_contents(std::string_view original_path,
                                               std::time_t deleted_at) {
    const std::optional<std::string> date = deletion_date(deleted_at);
    if (!date) return std::nullopt;
    std::string out = "[Trash Info]\nPath=";
    out += percent_encode_path(original_path);
    out += "\nDeletionDate=";
    out += *date;
    out += "\n";
    return out;
}

}  // namespace bramvelt::trash_host
