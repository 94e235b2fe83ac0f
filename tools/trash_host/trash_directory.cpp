#include "tools/trash_host/trash_directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "platform/file_status.hpp"
#include "platform/io.hpp"
#include "platform/nofollow_open.hpp"
#include "platform/ownership.hpp"
#include "platform/path_io.hpp"
#include "tools/trash_host/top_directory.hpp"

namespace bramvelt::trash_host {
namespace {

using platform::Fd;
using platform::FollowFinalLink;

constexpr mode_t kPrivateFolder = 0700;

// Whether a trash folder must belong to the user: under a top directory other users may
// write beside it, so one of theirs must never receive our entries.
enum class MustOwn { no, yes };

std::string without_trailing_slashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return std::string(path);
}

// The device of `path`, or of its nearest existing ancestor while it does not exist yet.
std::expected<std::uint64_t, int> device_of_nearest(std::string_view path) {
    for (;;) {
        const auto status = platform::status_of_path(path, FollowFinalLink::yes);
        if (status) return status->device;
        if (status.error() != ENOENT || path == "/") return std::unexpected(status.error());
        path = parent_path(path);
    }
}

// Every missing folder of `path`, the last included.
std::expected<void, int> make_folders(std::string_view path) {
    for (std::size_t end = 1; end <= path.size(); ++end) {
        if (end < path.size() && path[end] != '/') continue;
        const std::string prefix(path.substr(0, end));
        if (::mkdir(prefix.c_str(), kPrivateFolder) != 0 && errno != EEXIST) {
            return std::unexpected(errno);
        }
    }
    return {};
}

// A folder on the entry's file system, not a link, owned by the user where asked.
std::expected<void, int> check_folder(const Fd& folder, std::uint64_t device, MustOwn must_own) {
    const auto status = platform::status_of_fd(folder.get());
    if (!status) return std::unexpected(status.error());
    if (status->device != device) return std::unexpected(EXDEV);
    if (must_own == MustOwn::yes) {
        const auto owned = platform::owned_by_this_account(folder.get());
        if (!owned) return std::unexpected(owned.error());
        if (!*owned) return std::unexpected(EPERM);
    }
    return {};
}

std::expected<Fd, int> open_or_make_folder(int parent, const std::string& name,
                                           std::uint64_t device, MustOwn must_own) {
    if (::mkdirat(parent, name.c_str(), kPrivateFolder) != 0 && errno != EEXIST) {
        return std::unexpected(errno);
    }
    auto folder = platform::open_directory_at(parent, name.c_str(), FollowFinalLink::no);
    if (!folder) return std::unexpected(folder.error());
    if (auto checked = check_folder(*folder, device, must_own); !checked) {
        return std::unexpected(checked.error());
    }
    return folder;
}

std::expected<TrashDirectory, int> open_trash_in(const Fd& trash, std::uint64_t device,
                                                 MustOwn must_own, std::string top_directory) {
    auto files = open_or_make_folder(trash.get(), "files", device, must_own);
    if (!files) return std::unexpected(files.error());
    auto info = open_or_make_folder(trash.get(), "info", device, must_own);
    if (!info) return std::unexpected(info.error());
    return TrashDirectory{std::move(*files), std::move(*info), std::move(top_directory)};
}

std::expected<TrashDirectory, int> open_home_trash(const std::string& path, std::uint64_t device) {
    if (auto made = make_folders(path); !made) return std::unexpected(made.error());
    // The user's own settings may lead the home trash through a link; its device is
    // what must match.
    auto trash = platform::open_directory_path(path.c_str(), FollowFinalLink::yes);
    if (!trash) return std::unexpected(trash.error());
    if (auto checked = check_folder(*trash, device, MustOwn::no); !checked) {
        return std::unexpected(checked.error());
    }
    return open_trash_in(*trash, device, MustOwn::no, {});
}

// $topdir/.Trash/$uid: only when .Trash is a real folder with the sticky bit, so no
// other user can rename or remove our folder in it.
std::optional<TrashDirectory> open_shared_trash(const Fd& top, const std::string& top_path,
                                                uid_t uid, std::uint64_t device) {
    auto shared = platform::open_directory_at(top.get(), ".Trash", FollowFinalLink::no);
    if (!shared) return std::nullopt;
    const auto status = platform::status_of_fd(shared->get());
    if (!status || (status->mode & S_ISVTX) == 0 || status->device != device) return std::nullopt;
    auto mine = open_or_make_folder(shared->get(), std::to_string(uid), device, MustOwn::yes);
    if (!mine) return std::nullopt;
    auto trash = open_trash_in(*mine, device, MustOwn::yes, top_path);
    if (!trash) return std::nullopt;
    return std::move(*trash);
}

// $topdir/.Trash-$uid, made when missing.
std::expected<TrashDirectory, int> open_private_trash(const Fd& top, const std::string& top_path,
                                                      uid_t uid, std::uint64_t device) {
    auto mine =
        open_or_make_folder(top.get(), ".Trash-" + std::to_string(uid), device, MustOwn::yes);
    if (!mine) return std::unexpected(mine.error());
    return open_trash_in(*mine, device, MustOwn::yes, top_path);
}

}  // namespace

std::string home_trash_path(const TrashEnvironment& environment) {
    if (!environment.xdg_data_home.empty() && environment.xdg_data_home.front() == '/') {
        return without_trailing_slashes(environment.xdg_data_home) + "/Trash";
    }
    if (!environment.home.empty() && environment.home.front() == '/') {
        const std::string home = without_trailing_slashes(environment.home);
        return (home == "/" ? "" : home) + "/.local/share/Trash";
    }
    return {};
}

std::expected<TrashDirectory, int> open_trash_for(const TrashEnvironment& environment,
                                                  std::string_view parent_folder,
                                                  std::uint64_t device) {
    // The home trash serves its own file system, and only it: a failure there is not
    // passed on to a trash the user would not look in. Only the answer that the home
    // trash lies on another file system leads to the entry's top directory; a home trash
    // that cannot be placed or examined keeps the entry where it is.
    const std::string home = home_trash_path(environment);
    if (home.empty()) return std::unexpected(ENOENT);
    const auto home_device = device_of_nearest(home);
    if (!home_device) return std::unexpected(home_device.error());
    if (*home_device == device) return open_home_trash(home, device);

    auto top_path = find_top_directory(parent_folder, device);
    if (!top_path) return std::unexpected(top_path.error());
    auto top = platform::open_nofollow_any(*top_path, O_RDONLY | O_DIRECTORY);
    if (!top) return std::unexpected(top.error());
    if (auto checked = check_folder(*top, device, MustOwn::no); !checked) {
        return std::unexpected(checked.error());
    }
    if (auto shared = open_shared_trash(*top, *top_path, environment.uid, device)) {
        return std::move(*shared);
    }
    return open_private_trash(*top, *top_path, environment.uid, device);
}

}  // namespace bramvelt::trash_host
