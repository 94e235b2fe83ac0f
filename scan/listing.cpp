#include "scan/listing.hpp"

#include <dirent.h>

#include <limits>

#include "platform/io.hpp"
#include "platform/os_error.hpp"
#include "platform/path_io.hpp"

namespace bramvelt::scan {
namespace {

constexpr std::uint64_t kMaxSigned =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// Follows links, as opendir does.
std::expected<platform::DirStream, int> open_standard_reader(const std::string& path) {
    auto fd = platform::open_directory_path(path.c_str(), platform::FollowFinalLink::yes);
    if (!fd) return std::unexpected(fd.error());
    return platform::DirStream::from_fd(std::move(*fd));
}

}  // namespace

void DirectoryListing::Counts::publish() {
    const auto add = [](std::atomic<std::uint64_t>& to, std::uint64_t& n) {
        if (n != 0) to.fetch_add(std::exchange(n, 0), std::memory_order_relaxed);
    };
    add(shared_->bulk_batches, n_.bulk_batches);
    add(shared_->bulk_trusted_entries, n_.trusted);
    add(shared_->bulk_lstat_entries, n_.bulk_lookups);
    add(shared_->entry_lstat_calls, n_.lookups);
}

std::string ListingOpenError::text() const {
    return identity_changed ? std::string(kIdentityChangedText) : platform::os_error_text(error);
}

std::uint64_t allocated_bytes(std::uint64_t blocks) {
    if (blocks > kMaxSigned / 512) return kMaxSigned;
    return blocks * 512;
}

std::optional<std::uint64_t> modification_seconds(std::int64_t seconds, std::int64_t nanoseconds) {
    // A time just before the epoch may come as -0 seconds and negative nanoseconds.
    if (seconds <= 0 && seconds > std::numeric_limits<std::int64_t>::min() &&
        nanoseconds > -1'000'000'000 && nanoseconds < 0) {
        seconds -= 1;
        nanoseconds += 1'000'000'000;
    }
    if (nanoseconds < 0 || nanoseconds > 999'999'999) return std::nullopt;
    if (seconds < 0) return std::nullopt;
    return static_cast<std::uint64_t>(seconds);
}

std::expected<void, ListingOpenError> check_directory_identity(
    const platform::EntryStatus& expected, const platform::EntryStatus& observed) {
    if (observed.device != expected.device || observed.inode != expected.inode ||
        !observed.is_directory() || observed.is_dataless()) {
        return std::unexpected(ListingOpenError{ESTALE, true});
    }
    return {};
}

std::expected<DirectoryListing, ListingOpenError> open_directory(
    const std::string& path, const platform::EntryStatus& expected, ListingMethod method,
    platform::FollowFinalLink follow_link, LinkEntries links, const CancelFlag& cancel,
    ListingCounters& counters, std::optional<OpenAt> at) {
    if (method == ListingMethod::portable) {
        auto stream = open_standard_reader(path);
        if (!stream) return std::unexpected(ListingOpenError{stream.error(), false});
        return DirectoryListing(DirectoryListing::Standard{std::move(*stream)}, links, cancel,
                                counters);
    }

    // The bulk road: open without following any final link, examine the descriptor,
    // read. Examining the path before opening it would add a second path lookup per
    // directory and protect nothing more: O_NOFOLLOW and O_DIRECTORY refuse a link or a
    // non-directory, and the descriptor's identity is what is checked and then read.
    auto fd =
        at ? platform::open_directory_at(at->parent_fd, at->name, platform::FollowFinalLink::no)
           : platform::open_directory_path(path.c_str(), platform::FollowFinalLink::no);
    if (fd) {
        auto opened = platform::status_of_fd(fd->get());
        if (opened && check_directory_identity(expected, *opened)) {
            DirectoryListing listing(
                DirectoryListing::Bulk{platform::DirEntryReader(std::move(*fd)), 0}, links, cancel,
                counters);
            auto& bulk = std::get<DirectoryListing::Bulk>(listing.reader_);
            if (is_cancelled(cancel)) {
                listing.finished_ = true;
                return listing;
            }
            listing.counts_.bulk_batch();
            auto first = bulk.reader.read_batch();
            if (first) {
                if (*first == 0) listing.finished_ = true;
                return listing;
            }
        }
    }

    // The plain reader, after a second identity check.
    auto lstat_record = platform::status_of_path(path, platform::FollowFinalLink::no);
    if (!lstat_record) return std::unexpected(ListingOpenError{lstat_record.error(), false});
    if (follow_link == platform::FollowFinalLink::yes && lstat_record->is_symlink()) {
        auto stat_record = platform::status_of_path(path, platform::FollowFinalLink::yes);
        if (!stat_record) return std::unexpected(ListingOpenError{stat_record.error(), false});
        if (auto ok = check_directory_identity(expected, *stat_record); !ok) {
            return std::unexpected(ok.error());
        }
    } else if (auto ok = check_directory_identity(expected, *lstat_record); !ok) {
        return std::unexpected(ok.error());
    }
    counters.standard_fallbacks.fetch_add(1, std::memory_order_relaxed);
    auto stream = open_standard_reader(path);
    if (!stream) return std::unexpected(ListingOpenError{stream.error(), false});
    // The path was opened again, following links: make sure it still is the directory
    // that was checked, or a swap in between would list something else.
    auto opened = platform::status_of_fd(stream->fd());
    if (!opened) return std::unexpected(ListingOpenError{opened.error(), false});
    if (auto ok = check_directory_identity(expected, *opened); !ok) {
        return std::unexpected(ok.error());
    }
    return DirectoryListing(DirectoryListing::Standard{std::move(*stream)}, links, cancel,
                            counters);
}

ListingResult DirectoryListing::entry_from_status(std::string_view name, bool listed_as_directory,
                                                  int dirfd) {
    counts_.lookup();
    auto st = platform::status_at(dirfd, name.data(), platform::FollowFinalLink::no);
    if (!st) return ListingMetadataError{name, listed_as_directory, st.error()};
    status_ = *st;
    ListedEntry entry;
    entry.name = name;
    entry.status = &status_;
    entry.listed_as_directory = listed_as_directory;
    entry.is_symlink = st->is_symlink();
    entry.is_directory = st->is_directory();
    entry.inode = st->inode;
    entry.is_dataless = st->is_dataless();
    entry.modification = modification_seconds(st->mtime_seconds, st->mtime_nanoseconds);
    // No Linux listing record is trusted on its own, so no entry carries a mount hint:
    // the walker finds mount points when it examines the directory, after the
    // pseudo-file-system test has had its say.
    if (!entry.is_directory && !(entry.is_symlink && links_ == LinkEntries::skip)) {
        entry.file_facts = FileFacts{entry.is_dataless ? 0 : allocated_bytes(st->blocks),
                                     st->device, st->link_count};
    }
    return entry;
}

ListingResult DirectoryListing::next_entry() {
    ListingResult result = read_next();
    // The listing is over: what it counted is due now, not when it is destroyed.
    if (std::holds_alternative<ListingEnd>(result) ||
        std::holds_alternative<ListingReadError>(result)) {
        counts_.publish();
    }
    return result;
}

ListingResult DirectoryListing::read_next() {
    if (is_cancelled(cancel_)) return ListingEnd{};
    if (auto* bulk = std::get_if<Bulk>(&reader_)) {
        if (bulk->next >= bulk->reader.entries().size()) {
            if (finished_) return ListingEnd{};
            counts_.bulk_batch();
            auto batch = bulk->reader.read_batch();
            bulk->next = 0;
            if (!batch) {
                finished_ = true;
                return ListingReadError{batch.error()};
            }
            if (*batch == 0) {
                finished_ = true;
                return ListingEnd{};
            }
        }
        const platform::RawDirEntry& raw = bulk->reader.entries()[bulk->next++];
        if (raw.type == DT_LNK && links_ == LinkEntries::skip) {
            // A link that is skipped needs nothing but its kind, which the read gave.
            counts_.trusted_entry();
            ListedEntry entry;
            entry.name = raw.name;
            entry.is_symlink = true;
            return entry;
        }
        counts_.bulk_lookup();
        return entry_from_status(raw.name, raw.type == DT_DIR, bulk->reader.fd());
    }

    auto& standard = std::get<Standard>(reader_);
    if (finished_) return ListingEnd{};
    for (;;) {
        errno = 0;
        const dirent* d = ::readdir(standard.stream.get());
        if (d == nullptr) {
            finished_ = true;
            if (errno != 0) return ListingReadError{errno};
            return ListingEnd{};
        }
        const std::string_view name(d->d_name);
        if (name == "." || name == "..") continue;
        bool listed_as_directory = d->d_type == DT_DIR;
        if (d->d_type == DT_UNKNOWN) {
            auto st =
                platform::status_at(standard.stream.fd(), d->d_name, platform::FollowFinalLink::no);
            listed_as_directory = st && st->is_directory();
        }
        return entry_from_status(name, listed_as_directory, standard.stream.fd());
    }
}

}  // namespace bramvelt::scan
