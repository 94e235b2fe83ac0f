#include "tools/trash_host/move_to_trash.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <optional>
#include <string>

#include "platform/file_status.hpp"
#include "platform/io.hpp"
#include "platform/nofollow_open.hpp"
#include "platform/rename.hpp"
#include "platform/utf8.hpp"
#include "tools/trash_host/texts.hpp"
#include "tools/trash_host/top_directory.hpp"
#include "tools/trash_host/trash_info.hpp"

namespace bramvelt::trash_host {
namespace {

using platform::FollowFinalLink;

constexpr std::size_t kMaxNameBytes = 255;
// Past this many taken names the trash is not in a state to be written to.
constexpr unsigned kMaxAttempts = 100000;

void (*g_before_rename_hook)() = nullptr;

std::optional<std::string_view> kind_of(const platform::EntryStatus& status) {
    if (status.is_directory()) return "directory";
    if (status.is_symlink()) return "symlink";
    if (status.is_regular()) return "file";
    return std::nullopt;
}

bool matches(const platform::EntryStatus& status, const TrashRequest& request) {
    const auto kind = kind_of(status);
    return std::to_string(status.device) == request.device &&
           std::to_string(status.inode) == request.inode && kind && request.kind &&
           *kind == *request.kind;
}

// Where an entry ended up after the rename into the trash.
enum class Landed { requested_entry, other_entry };

Landed check_landing(int files_fd, const std::string& name, const TrashRequest& request) {
    const auto status = platform::status_at(files_fd, name.c_str(), FollowFinalLink::no);
    return status && matches(*status, request) ? Landed::requested_entry : Landed::other_entry;
}

void remove_info(int info_fd, const std::string& info_name) {
    (void)::unlinkat(info_fd, info_name.c_str(), 0);
}

// The record under a free name, created exclusively so that two hosts trashing entries
// of one name never share a record. Nothing when the name is taken; the errno otherwise.
std::expected<bool, int> write_info(int info_fd, const std::string& info_name,
                                    std::string_view contents) {
    auto file = platform::open_at(info_fd, info_name.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (!file) {
        if (file.error() == EEXIST) return false;
        return std::unexpected(file.error());
    }
    if (auto written = platform::write_all(file->get(), contents); !written) {
        remove_info(info_fd, info_name);
        return std::unexpected(written.error());
    }
    return true;
}

std::string_view final_name(std::string_view path) {
    return path.substr(path.rfind('/') + 1);
}

// The path the record keeps: absolute for the home trash, relative to the top
// directory for a trash under it.
std::string recorded_path(std::string_view path, const TrashDirectory& trash) {
    if (trash.top_directory.empty()) return std::string(path);
    const std::size_t skip = trash.top_directory == "/" ? 1 : trash.top_directory.size() + 1;
    return std::string(path.substr(skip));
}

}  // namespace

std::string trash_name(std::string_view name, unsigned attempt) {
    const std::string suffix = attempt <= 1 ? "" : "." + std::to_string(attempt);
    const std::size_t room = kMaxNameBytes - kTrashInfoSuffix.size() - suffix.size();
    std::string_view base = name;
    if (base.size() > room) {
        base = base.substr(0, room);
        // Never leave half a character at the cut of a name that is text.
        if (platform::is_valid_utf8(name)) {
            while (!base.empty() &&
                   (static_cast<unsigned char>(name[base.size()]) & 0xC0) == 0x80) {
                base.remove_suffix(1);
            }
        }
    }
    return std::string(base) + suffix;
}

std::expected<void, std::string_view> move_to_trash(const TrashRequest& request,
                                                    const TrashEnvironment& environment) {
    const std::string folder(parent_path(request.path));
    const std::string name(final_name(request.path));
    auto parent = platform::open_nofollow_any(folder, O_RDONLY | O_DIRECTORY);
    if (!parent) return std::unexpected(kItemUnavailable);
    const auto status = platform::status_at(parent->get(), name.c_str(), FollowFinalLink::no);
    if (!status) return std::unexpected(kItemUnavailable);
    if (!matches(*status, request)) return std::unexpected(kItemChanged);

    auto trash = open_trash_for(environment, folder, status->device);
    if (!trash) return std::unexpected(kTrashFailed);
    const auto contents =
        trash_info_contents(recorded_path(request.path, *trash), std::time(nullptr));
    if (!contents) return std::unexpected(kTrashFailed);

    for (unsigned attempt = 1; attempt <= kMaxAttempts; ++attempt) {
        const std::string candidate = trash_name(name, attempt);
        const std::string info_name = candidate + std::string(kTrashInfoSuffix);
        const auto written = write_info(trash->info.get(), info_name, *contents);
        if (!written) return std::unexpected(kTrashFailed);
        if (!*written) continue;

        // The last look before the move: the window after it is what the check of the
        // landed entry covers.
        const auto now = platform::status_at(parent->get(), name.c_str(), FollowFinalLink::no);
        if (!now || !matches(*now, request)) {
            remove_info(trash->info.get(), info_name);
            return std::unexpected(now ? kItemChanged : kItemUnavailable);
        }
        if (g_before_rename_hook != nullptr) g_before_rename_hook();
        const auto moved = platform::rename_no_replace(parent->get(), name.c_str(),
                                                       trash->files.get(), candidate.c_str());
        if (!moved) {
            remove_info(trash->info.get(), info_name);
            if (moved.error() == EEXIST) continue;
            // EINVAL (no renaming without replacing on this file system) ends here too:
            // a plain rename could replace an entry of the trash.
            return std::unexpected(moved.error() == ENOENT ? kItemUnavailable : kTrashFailed);
        }
        if (check_landing(trash->files.get(), candidate, request) == Landed::requested_entry) {
            return {};
        }
        // Another entry took the name between the look and the rename: put it back where
        // it was when that place is still free; otherwise it stays in the trash with its
        // record, where the user can restore it.
        if (platform::rename_no_replace(trash->files.get(), candidate.c_str(), parent->get(),
                                        name.c_str())) {
            remove_info(trash->info.get(), info_name);
        }
        return std::unexpected(kItemChanged);
    }
    return std::unexpected(kTrashFailed);
}

void set_before_rename_hook_for_testing(void (*hook)()) {
    g_before_rename_hook = hook;
}

}  // namespace bramvelt::trash_host
