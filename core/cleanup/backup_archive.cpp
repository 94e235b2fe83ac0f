#include "core/cleanup/backup_archive.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <vector>

#include "core/cleanup/backup_snapshot.hpp"
#include "core/cleanup/failure.hpp"
#include "core/cleanup/sha256.hpp"
#include "core/cleanup/tar_format.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "platform/durable_close.hpp"
#include "platform/file_status.hpp"
#include "platform/io.hpp"
#include "platform/link_target.hpp"
#include "platform/os_error.hpp"
#include "platform/xattr.hpp"

namespace bramvelt::cleanup {
namespace {

using filesystem::FileIdentity;
using host_trash::ArchiveReceipt;

constexpr std::size_t kCopyPiece = 8 * 1024;
constexpr std::size_t kMaxWrite = INT_MAX;

struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Every byte of the archive passes through here, so its digest and size are known once
// it is written.
class HashingWriter {
  public:
    explicit HashingWriter(int fd) : fd_(fd), context_(EVP_MD_CTX_new()) {
        ok_ = context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1;
    }

    std::expected<void, std::string> write(std::string_view bytes) {
        if (!ok_) return fail("SHA-256 is unavailable");
        while (!bytes.empty()) {
            const std::size_t want = std::min(bytes.size(), kMaxWrite);
            const ssize_t put =
                platform::retry_on_eintr([&] { return ::write(fd_, bytes.data(), want); });
            if (put < 0) return fail_os(errno);
            if (put == 0) return fail_os(EIO);
            const auto count = static_cast<std::size_t>(put);
            EVP_DigestUpdate(context_.get(), bytes.data(), count);
            if (written_ > UINT64_MAX - count) return fail(kArchiveSizeOverflow);
            written_ += count;
            bytes.remove_prefix(count);
        }
        return {};
    }

    std::expected<void, std::string> pad(std::uint64_t size) {
        static constexpr TarBlock kZeros{};
        return write(std::string_view(kZeros.data(), tar_padding(size)));
    }

    std::string digest() {
        unsigned char bytes[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context_.get(), bytes, &length);
        return hex_lower(std::string_view(reinterpret_cast<const char*>(bytes), length));
    }
    std::uint64_t written() const { return written_; }

  private:
    int fd_;
    std::unique_ptr<EVP_MD_CTX, ContextFree> context_;
    bool ok_ = false;
    std::uint64_t written_ = 0;
};

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find('/', begin);
        if (end == std::string_view::npos) end = path.size();
        if (end > begin) parts.push_back(path.substr(begin, end - begin));
        begin = end + 1;
    }
    return parts;
}

// Component by component, so a folder comes before everything below it.
bool path_before(std::string_view left, std::string_view right) {
    return std::ranges::lexicographical_compare(components(left), components(right));
}

std::expected<std::string, std::string> entry_name(std::string_view root, std::string_view path,
                                                   const FileIdentity& identity) {
    const std::string base = backup_key(root);
    const std::string key = backup_key(path);
    if (key == base) return identity.kind == "file" ? std::string("item") : std::string("item/");
    const std::string prefix = base == "/" ? base : base + "/";
    if (!key.starts_with(prefix)) return fail(kPrefixNotFound);
    return "item/" + key.substr(prefix.size());
}

std::expected<std::string, std::string> pax_records(std::string_view path,
                                                    const platform::EntryStatus& status) {
    const auto nanoseconds = [](std::int64_t seconds, std::int32_t nanos) {
        return static_cast<filesystem::int128_t>(seconds) * 1'000'000'000 + nanos;
    };
    std::string records =
        pax_record("mtime", pax_time(nanoseconds(status.mtime_seconds, status.mtime_nanoseconds)));
    records +=
        pax_record("atime", pax_time(nanoseconds(status.atime_seconds, status.atime_nanoseconds)));
    auto names = platform::list_attribute_names(path);
    if (!names) return fail_os(names.error());
    for (const std::string& name : *names) {
        if (!name.starts_with(kCopiedAttributePrefix)) continue;
        auto value = platform::read_attribute(path, name);
        if (!value) {
            if (value.error() == ENODATA) return fail(kStagedMetadataChanged);
            return fail_os(value.error());
        }
        records += pax_record("LIBARCHIVE.xattr." + escape_attribute_name(name), base64(*value));
    }
    return records;
}

// A GNU long-name ('L') or long-link ('K') entry for a text the 100-byte field cannot hold.
// The field needs no terminating NUL: a text of exactly 100 bytes fills it.
std::expected<void, std::string> write_long(HashingWriter& writer, char type,
                                            std::string_view text) {
    if (text.size() <= kTarNameField) return {};
    std::string data(text);
    data.push_back('\0');
    TarEntryHeader header;
    header.name = "././@LongLink";
    header.mode = 0644;
    header.size = data.size();
    header.typeflag = type;
    const TarBlock block = gnu_header(header);
    if (auto put = writer.write(std::string_view(block.data(), block.size())); !put) return put;
    if (auto put = writer.write(data); !put) return put;
    return writer.pad(data.size());
}

std::expected<void, std::string> copy_file_bytes(HashingWriter& writer, int fd, std::uint64_t size,
                                                 const CancelFlag& cancel) {
    std::vector<char> buffer(kCopyPiece, '\0');
    std::uint64_t remaining = size;
    while (remaining > 0) {
        if (is_cancelled(cancel)) return fail(kArchiveCancelled);
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kCopyPiece));
        auto got = platform::read_some(fd, std::span<char>(buffer.data(), want));
        if (!got) return fail_os(got.error());
        if (*got == 0) return fail(kStagedFileChanged);
        if (auto put = writer.write(std::string_view(buffer.data(), *got)); !put) return put;
        remaining -= *got;
    }
    return writer.pad(size);
}

std::expected<void, std::string> write_entry(HashingWriter& writer, std::string_view root,
                                             const std::string& path, const FileIdentity& identity,
                                             const CancelFlag& cancel) {
    if (is_cancelled(cancel)) return fail(kArchiveCancelled);
    auto handle = filesystem::open_parent_dir(path);
    if (!handle) return std::unexpected(std::move(handle.error().message));
    if (auto same = filesystem::check_authorized_identity(*handle, identity); !same) {
        return std::unexpected(std::move(same.error().message));
    }
    auto status = platform::status_at(handle->parent_fd(), handle->name().c_str(),
                                      platform::FollowFinalLink::no);
    if (!status) return fail_os(status.error());
    auto name = entry_name(root, path, identity);
    if (!name) return std::unexpected(std::move(name.error()));

    TarEntryHeader header;
    header.name = *name;
    header.mode = status->mode;
    header.uid = status->uid;
    header.gid = status->gid;
    header.mtime_seconds = status->mtime_seconds;
    auto records = pax_records(path, *status);
    if (!records) return std::unexpected(std::move(records.error()));

    std::string link_target;
    platform::Fd file;
    if (identity.kind == "directory") {
        header.typeflag = '5';
    } else if (identity.kind == "symlink") {
        auto target = platform::read_link_at(handle->parent_fd(), handle->name().c_str());
        if (!target) return fail_os(target.error());
        link_target = std::move(*target);
        header.typeflag = '2';
        header.link_name = link_target;
    } else if (identity.kind == "file") {
        header.typeflag = '0';
        header.size = static_cast<std::uint64_t>(identity.size);
        auto opened =
            filesystem::open_verified_file(*handle, filesystem::FileAccess::ReadOnly, identity);
        if (!opened) return std::unexpected(std::move(opened.error().message));
        file = std::move(*opened);
    } else {
        return fail(kSpecialNotArchived);
    }

    const TarBlock extended = pax_header(records->size());
    if (auto put = writer.write(std::string_view(extended.data(), extended.size())); !put) {
        return put;
    }
    if (auto put = writer.write(*records); !put) return put;
    if (auto put = writer.pad(records->size()); !put) return put;
    if (auto put = write_long(writer, 'L', *name); !put) return put;
    if (auto put = write_long(writer, 'K', link_target); !put) return put;
    const TarBlock block = gnu_header(header);
    if (auto put = writer.write(std::string_view(block.data(), block.size())); !put) return put;
    if (file) {
        if (auto copied = copy_file_bytes(writer, file.get(), header.size, cancel); !copied) {
            return copied;
        }
        auto now = filesystem::identity_of_fd(file.get());
        if (!now || *now != identity) return fail(kStagedFileChanged);
    }
    if (auto same = filesystem::check_authorized_identity(*handle, identity); !same) {
        return std::unexpected(std::move(same.error().message));
    }
    return {};
}

bool lowercase_sha256(std::string_view text) {
    return text.size() == 64 && std::ranges::all_of(text, [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

}  // namespace

std::expected<ArchiveReceipt, std::string> write_backup_archive(std::string_view staging_root,
                                                                const TreeSnapshot& staged,
                                                                std::string_view archive_path,
                                                                platform::Fd archive,
                                                                const CancelFlag& cancel) {
    HashingWriter writer(archive.get());
    std::vector<std::pair<std::string, FileIdentity>> entries;
    entries.reserve(staged.size());
    staged.for_each([&](std::string_view path, const FileIdentity& identity) {
        entries.emplace_back(std::string(path), identity);
    });
    std::ranges::sort(entries, [](const auto& left, const auto& right) {
        return path_before(left.first, right.first);
    });
    for (const auto& [path, identity] : entries) {
        if (auto put = write_entry(writer, staging_root, path, identity, cancel); !put) {
            return std::unexpected(std::move(put.error()));
        }
    }
    static constexpr std::array<char, 2 * kTarBlock> kEnd{};
    if (auto put = writer.write(std::string_view(kEnd.data(), kEnd.size())); !put) {
        return std::unexpected(std::move(put.error()));
    }
    if (auto synced = platform::full_sync(archive.get()); !synced) return fail_os(synced.error());
    if (auto closed = platform::close_reporting(std::move(archive)); !closed) {
        return fail_os(closed.error());
    }
    return verify_saved_backup(archive_path, writer.digest(), writer.written(), cancel);
}

std::expected<ArchiveReceipt, std::string> verify_saved_backup(std::string_view archive_path,
                                                               std::string_view sha256,
                                                               std::uint64_t size,
                                                               const CancelFlag& cancel) {
    if (!lowercase_sha256(sha256)) return fail(kDigestRequired);
    auto handle = filesystem::open_parent_dir(archive_path);
    if (!handle) return std::unexpected(std::move(handle.error().message));
    auto identity = filesystem::identity_at(handle->parent_fd(), handle->name());
    if (!identity) return std::unexpected(std::move(identity.error().message));
    if (identity->kind != "file" || identity->links != 1 ||
        static_cast<std::uint64_t>(identity->size) != size) {
        return fail(kSavedBackupNotExclusive);
    }
    auto file =
        filesystem::open_verified_file(*handle, filesystem::FileAccess::ReadOnly, *identity);
    if (!file) return std::unexpected(std::move(file.error().message));
    auto digest = hash_file_sha256(file->get(), cancel);
    if (!digest) return std::unexpected(std::move(digest.error()));
    const bool same_place = filesystem::check_authorized_identity(*handle, *identity).has_value();
    auto now = filesystem::identity_of_fd(file->get());
    if (!same_place || !now || *now != *identity || digest->sha256 != sha256 ||
        digest->bytes != size) {
        return fail(kSavedBackupFailed);
    }
    if (is_cancelled(cancel)) return fail(kBackupVerificationCancelled);
    return ArchiveReceipt{*identity, digest->sha256, size};
}

}  // namespace bramvelt::cleanup
