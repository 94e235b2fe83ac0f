#include "core/development/tracked_files.hpp"

#include <algorithm>
#include <cerrno>

#include "core/filesystem/byte_path.hpp"
#include "platform/file_status.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::development {

namespace {
constexpr std::size_t kTagBytes = 2;  // the tag letter and a space
}  // namespace

bool hidden_from_status(char tag) {
    return tag == 'S' || (tag >= 'a' && tag <= 'z');
}

std::vector<std::string_view> zero_separated_records(std::string_view output) {
    std::vector<std::string_view> records;
    std::size_t pos = 0;
    while (pos < output.size()) {
        const std::size_t end = std::min(output.find('\0', pos), output.size());
        if (end > pos) records.push_back(output.substr(pos, end - pos));
        pos = end + 1;
    }
    return records;
}

TrackedFiles parse_tracked_files(std::string_view output) {
    TrackedFiles files;
    for (const std::string_view record : zero_separated_records(output)) {
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
