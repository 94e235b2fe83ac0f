#include "src/cli/open_in_app.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/file_status.hpp"
#include "platform/os_error.hpp"
#include "platform/spawn.hpp"
#include "platform/utf8.hpp"
#include "platform/working_directory.hpp"
#include "src/cli/errors.hpp"

namespace bramvelt::cli {

namespace {

constexpr std::chrono::milliseconds kOpenerPoll{20};

std::expected<platform::Child, std::string> start_opener(std::string_view folder) {
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
    if (!child && child.error() == ENOENT) {
        // The system's "No such file or directory" would not say which file is missing.
        return std::unexpected(
            fmt::format("cannot open BramVelt: {} was not found", kCompanionOpener));
    }
    if (!child) {
        return std::unexpected(
            fmt::format("cannot open BramVelt: {}", platform::os_error_text(child.error())));
    }
    return std::move(*child);
}

std::expected<void, std::string> opener_result(
    const std::expected<platform::ExitStatus, int>& status) {
    if (!status) {
        return std::unexpected(
            fmt::format("cannot open BramVelt: {}", platform::os_error_text(status.error())));
    }
    if (!status->success()) {
        return std::unexpected(fmt::format("opening BramVelt failed: {}", status->describe()));
    }
    return {};
}

// A `Child` kills what it still owns when it goes, so the running opener moves to a
// thread that only waits for it. When no thread can be made the child is handed back.
bool reap_in_background(platform::Child& child) {
    auto owned = std::make_shared<platform::Child>(std::move(child));
    try {
        std::thread([owned] { (void)owned->wait(); }).detach();
        return true;
    } catch (const std::system_error&) {
        child = std::move(*owned);
        return false;
    }
}

}  // namespace

std::expected<void, std::string> open_in_app(std::string_view folder) {
    auto child = start_opener(folder);
    if (!child) return std::unexpected(std::move(child.error()));
    return opener_result(child->wait());
}

std::expected<void, std::string> open_in_app_within(std::string_view folder,
                                                    std::chrono::milliseconds limit) {
    auto child = start_opener(folder);
    if (!child) return std::unexpected(std::move(child.error()));
    auto waited = child->wait_for(limit, kOpenerPoll);
    if (!waited) return opener_result(std::unexpected(waited.error()));
    if (*waited) return opener_result(**waited);
    // Without a thread to reap it, waiting here is the only way not to kill it.
    if (!reap_in_background(*child)) return opener_result(child->wait());
    return {};
}

}  // namespace bramvelt::cli
