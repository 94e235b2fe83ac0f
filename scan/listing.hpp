#pragma once
// Lists one directory for the walker. The directory is opened only after it is seen to
// be the one the walker examined (same device and inode, still a directory, not an
// online-only placeholder); then it is read in bulk on that same descriptor, each entry
// looked up relative to it. When that is not possible the plain reader is used after a
// second identity check. Each entry carries exactly what the walker's accounting needs.

#include <atomic>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "platform/dir_stream.hpp"
#include "platform/follow.hpp"
#include "platform/listing.hpp"
#include "scan/session.hpp"

namespace bramvelt::scan {

// How a directory is read: in bulk on the descriptor whose identity was checked, or by
// the plain standard reader without any check.
enum class ListingMethod { bulk, portable };

// Whether symbolic links take part in the walk. A skipped link needs nothing but its kind.
enum class LinkEntries { skip, include };

// What the hard-link rule and the totals need of a file.
struct FileFacts {
    std::uint64_t allocated_size = 0;
    std::uint64_t device = 0;
    std::uint64_t link_count = 0;
};

// One entry. `name` and `status` are valid until the next call of next_entry.
struct ListedEntry {
    std::string_view name;
    // Everything the status call said, when one was made (a skipped link needs none).
    const platform::EntryStatus* status = nullptr;
    std::optional<std::uint64_t> modification;  // whole seconds since the epoch
    std::uint64_t inode = 0;
    // Absent for directories, and for symbolic links when links are skipped.
    std::optional<FileFacts> file_facts;
    bool is_directory = false;
    bool is_symlink = false;
    bool is_dataless = false;
    bool bulk_mount_point = false;     // a trusted bulk record reports a mount; never on Linux
    bool listed_as_directory = false;  // the listing's own word on the kind
};

struct ListingEnd {};
struct ListingReadError {
    int error = 0;
};
struct ListingMetadataError {
    std::string_view name;
    bool listed_as_directory = false;
    int error = 0;
};
using ListingResult = std::variant<ListingEnd, ListingReadError, ListingMetadataError, ListedEntry>;

// A directory named relative to its parent, whose descriptor is open: opening it there
// spares looking up the whole path again. `name` is NUL-terminated.
struct OpenAt {
    int parent_fd = -1;
    const char* name = nullptr;
};

// Why a directory could not be opened.
struct ListingOpenError {
    int error = 0;                  // errno of the failed step
    bool identity_changed = false;  // the directory was not the expected one
    std::string text() const;
};

inline constexpr std::string_view kIdentityChangedText =
    "directory identity or availability changed before listing";

class DirectoryListing {
  public:
    DirectoryListing(DirectoryListing&&) noexcept = default;
    DirectoryListing& operator=(DirectoryListing&&) noexcept = default;

    // End, a read error, an entry whose lookup failed, or the next entry. After the
    // first read error the listing ends: a directory that fails every read must not be
    // asked forever.
    ListingResult next_entry();

    bool is_bulk() const { return std::holds_alternative<Bulk>(reader_); }
    // The bulk reader's descriptor, for opening subdirectories relative to it once every
    // entry is read; nothing for the standard reader, whose stream owns its descriptor.
    platform::Fd take_fd() {
        auto* bulk = std::get_if<Bulk>(&reader_);
        finished_ = true;
        return bulk != nullptr ? bulk->reader.take_fd() : platform::Fd();
    }
    // Entries read ahead and not returned yet: a lower bound on what is left.
    std::size_t entries_ahead() const {
        const auto* bulk = std::get_if<Bulk>(&reader_);
        return bulk != nullptr ? bulk->reader.entries().size() - bulk->next : 0;
    }

  private:
    friend std::expected<DirectoryListing, ListingOpenError> open_directory(
        const std::string&, const platform::EntryStatus&, ListingMethod, platform::FollowFinalLink,
        LinkEntries, const CancelFlag&, ListingCounters&, std::optional<OpenAt>);
    struct Bulk {
        platform::DirEntryReader reader;
        std::size_t next = 0;
    };
    struct Standard {
        platform::DirStream stream;
    };
    DirectoryListing(std::variant<Bulk, Standard> reader, LinkEntries links, CancelFlag cancel,
                     ListingCounters& counters)
        : reader_(std::move(reader)),
          links_(links),
          cancel_(std::move(cancel)),
          counts_(counters) {}
    ListingResult read_next();
    ListingResult entry_from_status(std::string_view name, bool listed_as_directory, int dirfd);

    // This listing's counts, added to the scan's shared counters when it ends (or is
    // dropped before): every thread adding to them for every entry would keep their cache
    // line moving between the processors.
    class Counts {
      public:
        explicit Counts(ListingCounters& shared) : shared_(&shared) {}
        Counts(Counts&& other) noexcept : shared_(other.shared_), n_(std::exchange(other.n_, {})) {}
        Counts& operator=(Counts&& other) noexcept {
            if (this != &other) {
                publish();
                shared_ = other.shared_;
                n_ = std::exchange(other.n_, {});
            }
            return *this;
        }
        ~Counts() { publish(); }

        void bulk_batch() { ++n_.bulk_batches; }
        void trusted_entry() { ++n_.trusted; }
        void bulk_lookup() { ++n_.bulk_lookups; }
        void lookup() { ++n_.lookups; }
        void publish();

      private:
        struct Numbers {
            std::uint64_t bulk_batches = 0;
            std::uint64_t trusted = 0;
            std::uint64_t bulk_lookups = 0;
            std::uint64_t lookups = 0;
        };

        ListingCounters* shared_;
        Numbers n_;
    };

    std::variant<Bulk, Standard> reader_;
    platform::EntryStatus status_;  // of the last entry looked up
    LinkEntries links_;
    bool finished_ = false;
    CancelFlag cancel_;
    Counts counts_;
};

// Opens the directory at `path` (raw bytes) when it still matches `expected`, the status
// the walker took of it (through the path with links followed, or its parent's listing).
// Following a final link (the scan root only) lets the path be a symbolic link to that
// directory. With `at`, the bulk road opens it relative to its parent. The listing keeps
// a share of the cancel flag; the counters must outlive it.
std::expected<DirectoryListing, ListingOpenError> open_directory(
    const std::string& path, const platform::EntryStatus& expected, ListingMethod method,
    platform::FollowFinalLink follow_link, LinkEntries links, const CancelFlag& cancel,
    ListingCounters& counters, std::optional<OpenAt> at = std::nullopt);

// Same device and inode, a directory, not dataless.
std::expected<void, ListingOpenError> check_directory_identity(
    const platform::EntryStatus& expected, const platform::EntryStatus& observed);

// A platform timestamp as whole seconds since the epoch; absent before 1970 or invalid.
std::optional<std::uint64_t> modification_seconds(std::int64_t seconds, std::int64_t nanoseconds);

// st_blocks as bytes, saturating at 2^63 - 1.
std::uint64_t allocated_bytes(std::uint64_t blocks);

}  // namespace bramvelt::scan
