#include "platform/os_error.hpp"

#include <fmt/format.h>

#include <cstring>

namespace bramvelt::platform {

std::string os_error_description(int error_number) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = ::strerror_r(error_number, buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : fmt::format("Unknown error {}", error_number);
}

std::string os_error_text(int error_number) {
    return fmt::format("{} (os error {})", os_error_description(error_number), error_number);
}

}  // namespace bramvelt::platform
