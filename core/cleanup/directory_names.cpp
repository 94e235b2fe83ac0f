#include "core/cleanup/directory_names.hpp"

#include "platform/io.hpp"
#include "platform/listing.hpp"

namespace bramvelt::cleanup {

void DirectoryNames::add(std::string_view name) {
    bytes_.append(name);
    ends_.push_back(bytes_.size());
    bytes_.push_back('\0');
}

std::expected<DirectoryNames, int> list_directory(int dir_fd) {
    // "." reopens the very folder the descriptor holds: no name is looked up again, and
    // the reading has an offset of its own.
    auto own = platform::open_directory_at(dir_fd, ".", platform::FollowFinalLink::no);
    if (!own) return std::unexpected(own.error());
    platform::DirEntryReader reader(std::move(*own));
    DirectoryNames names;
    for (;;) {
        const auto batch = reader.read_batch();
        if (!batch) return std::unexpected(batch.error());
        if (*batch == 0) return names;
        for (const platform::RawDirEntry& entry : reader.entries()) names.add(entry.name);
    }
}

}  // namespace bramvelt::cleanup
