#include "src/cli/open_in_app.hpp"

#include <fmt/format.h>

#include "platform/file_status.hpp"
#include "platform/os_error.hpp"
#include "platform/spawn.hpp"
#include "platform/utf8.hpp"
#include "platform/working_directory.hpp"
#include "src/cli/errors.hpp"

namespace bramvelt::cli {

std::expected<void, std::string> open_in_app(std::string_view folder) {
    const std::string path(folder);
    const auto entry = platform::status_of_path(path, platform::FollowFinalLink::yes);
    if (!entry || !entry->is_directory()) {
        return std::unexpected(
            fmt::format("not a directory: {}", escape_message(platform::to_utf8_lossy(folder))));
    }
    std::string absolute;
    if (!folder.empty() && folder.starts_with('/')) {
        absolute = path;
    } else {
        auto current = platform::working_directory();
        if (!current) return std::unexpected(platform::os_error_text(current.error()));
        absolute = std::move(*current);
        if (!absolute.ends_with('/')) absolute += '/';
        absolute += path;
    }

    platform::SpawnOptions options;
    options.program = std::string(kCompanionOpener);
    options.args = {absolute};
    // The opener and what it starts must neither read the raw terminal nor write over
    // our terminal screen.
    options.in = platform::Stdio::null();
    options.out = platform::Stdio::null();
    options.err = platform::Stdio::null();
    auto child = platform::spawn(options);
    if (!child) {
        return std::unexpected(
            fmt::format("cannot open BramVelt: {}", platform::os_error_text(child.error())));
    }
    auto status = child->wait();
    if (!status) {
        return std::unexpected(
            fmt::format("cannot open BramVelt: {}", platform::os_error_text(status.error())));
    }
    if (!status->success()) {
        return std::unexpected(fmt::format("opening BramVelt failed: {}", status->describe()));
    }
    return {};
}

}  // namespace bramvelt::cli
