#include "core/development/tracked_files.hpp"

#include <cerrno>

#include "core/filesystem/byte_path.hpp"
#include "platform/file_status.hpp"
#include "platform/text.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::development {

namespace {
constexpr std::size_t kTagBytes = 2;  // the tag letter and a space
}  // namespace

bool hidden_from_status(char tag) {
    return tag == 'S' || (tag >= 'a' && tag <= 'z');
}

TrackedFiles parse_tracked_files(std::string_view output) {
    TrackedFiles files;
    for (const std::string_view record : platform::zero_separated_records(output)) {
        if (record.size() <= kTagBytes) continue;
        const std::string_view path = record.substr(kTagBytes);
        files.paths.push_back(platform::to_utf8_lossy(path));
        if (hidden_from_status(record.front())) files.hidden_from_status.emplace_back(path);
    }
    return files;
}

bool present_in_checkout(std::string_view checkout, std::string_view relative) {
    const auto found = platform::status_of_path(filesystem::path_join(checkout, relative),
                                                platform::FollowFinalLink::no);
    return found || (found.error() != ENOENT && found.error() != ENOTDIR);
}

std::uint64_t count_hidden_edits(std::string_view checkout, std::span<const std::string> hidden) {
    std::uint64_t count = 0;
    for (const std::string& relative : hidden) {
        if (present_in_checkout(checkout, relative)) ++count;
    }
    return count;
}

}  // namespace bramvelt::development
