#include "platform/last_resort_exit.hpp"

#include "platform/immediate_exit.hpp"
#include "platform/io.hpp"
#include "platform/resource_exhaustion.hpp"
#include "platform/standard_streams.hpp"

namespace bramvelt::platform {
namespace {

constinit std::string_view g_prefix;

[[noreturn]] void on_terminate() noexcept {
    write_failure_line(g_prefix, std::current_exception());
    immediate_exit(1);
}

}  // namespace

void write_error_line(std::string_view prefix, std::string_view text) noexcept {
    for (const std::string_view part : {prefix, text, std::string_view("\n")}) {
        if (!write_all(kStandardError, part)) return;
    }
}

void write_failure_line(std::string_view prefix, const std::exception_ptr& error) noexcept {
    write_error_line(prefix, exception_text(error));
}

void exit_on_terminate(std::string_view prefix) {
    g_prefix = prefix;
    std::set_terminate(on_terminate);
}

}  // namespace bramvelt::platform
