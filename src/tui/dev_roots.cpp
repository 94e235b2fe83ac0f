#include "src/tui/dev_roots.hpp"

#include <fmt/format.h>

#include <optional>

#include "core/filesystem/byte_path.hpp"
#include "platform/listing.hpp"
#include "platform/os_error.hpp"
#include "platform/path_io.hpp"
#include "platform/real_path.hpp"
#include "platform/utf8.hpp"
#include "platform/working_directory.hpp"
#include "src/cli/dev_view_model.hpp"
#include "src/cli/format.hpp"

namespace bramvelt::tui {
namespace {

constexpr std::string_view kReplacement = "\uFFFD";

// A name in `folder` that is not UTF-8 and reads as `text`; the error is errno.
std::expected<std::optional<std::string>, int> name_read_as(const std::string& folder,
                                                            std::string_view text) {
    auto fd = platform::open_directory_path(folder.c_str(), platform::FollowFinalLink::yes);
    if (!fd) return std::unexpected(fd.error());
    platform::DirEntryReader reader(std::move(*fd));
    for (;;) {
        const auto batch = reader.read_batch();
        if (!batch) return std::unexpected(batch.error());
        if (*batch == 0) return std::nullopt;
        for (const platform::RawDirEntry& entry : reader.entries()) {
            if (!platform::is_valid_utf8(entry.name) &&
                platform::to_utf8_lossy(entry.name) == text) {
                return std::string(entry.name);
            }
        }
    }
}

}  // namespace

std::expected<std::vector<std::string>, std::string> resolve_search_folders(
    std::span<const std::string> folders) {
    if (folders.empty()) return cli::resolve_targets(folders);
    const auto current = platform::working_directory();
    if (!current) return std::unexpected(platform::os_error_text(current.error()));
    std::vector<std::string> targets;
    targets.reserve(folders.size());
    for (const std::string& folder : folders) {
        const std::string joined =
            folder.starts_with('/') ? folder : filesystem::path_join(*current, folder);
        auto real = platform::real_path(joined);
        if (real ? !platform::is_valid_utf8(*real) : !platform::is_valid_utf8(joined)) {
            targets.push_back(real ? std::move(*real) : joined);
            continue;
        }
        auto target = cli::resolve_target(folder, *current);
        if (!target) return std::unexpected(std::move(target.error()));
        targets.push_back(std::move(*target));
    }
    return targets;
}

std::vector<std::string> roots_not_utf8(std::span<const std::string> roots) {
    std::vector<std::string> out;
    for (const std::string& root : roots) {
        if (!platform::is_valid_utf8(root)) out.push_back(root);
    }
    return out;
}

std::expected<std::string, std::string> shown_folder_bytes(std::string_view root,
                                                           std::string_view root_text,
                                                           std::string_view shown) {
    const bool below_root = shown.starts_with(root_text) &&
                            (shown.size() == root_text.size() || root_text.ends_with('/') ||
                             shown[root_text.size()] == '/');
    // Not from this tree: every name of it is looked at, from the top.
    if (!below_root) {
        return root_text == "/" ? std::string(shown) : shown_folder_bytes("/", "/", shown);
    }
    std::string folder(root);
    std::string_view rest = shown.substr(root_text.size());
    while (!rest.empty()) {
        if (rest.front() == '/') {
            rest.remove_prefix(1);
            continue;
        }
        const std::string_view text = rest.substr(0, rest.find('/'));
        rest.remove_prefix(text.size());
        std::string name(text);
        // Below a folder that is not UTF-8 the search refuses the path whatever follows.
        if (text.find(kReplacement) != std::string_view::npos && platform::is_valid_utf8(folder)) {
            auto bytes = name_read_as(folder, text);
            if (!bytes) {
                return std::unexpected(fmt::format("{}: {}", cli::escape_for_display(folder),
                                                   platform::os_error_text(bytes.error())));
            }
            if (*bytes) name = std::move(**bytes);
        }
        folder = filesystem::path_join(folder, name);
    }
    return folder;
}

}  // namespace bramvelt::tui
