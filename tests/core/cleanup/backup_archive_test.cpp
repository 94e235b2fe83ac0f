#include "core/cleanup/backup_archive.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/cleanup/backup_snapshot.hpp"
#include "core/cleanup/sha256.hpp"
#include "core/cleanup/tar_format.hpp"
#include "platform/xattr.hpp"
#include "support/run_process.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::cleanup {
namespace {

namespace fs = std::filesystem;

TEST(TarFormat, RecordsTimesNamesAndValuesAreEncodedExactly) {
    EXPECT_EQ(pax_record("abcd", "ef"), "11 abcd=ef\n");  // 9 bytes of body take two digits
    EXPECT_EQ(pax_record("k", ""), "5 k=\n");
    EXPECT_EQ(pax_time(1'000'000'005), "1.000000005");
    EXPECT_EQ(pax_time(-1'500'000'000), "-1.500000000");
    EXPECT_EQ(pax_time(0), "0.000000000");
    EXPECT_EQ(escape_attribute_name("user.note"), "user.note");
    EXPECT_EQ(escape_attribute_name("user.my note"), "user.my%20note");
    EXPECT_EQ(escape_attribute_name("user.\xc3\xa9-_x"), "user.%C3%A9-_x");
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("kept"), "a2VwdA==");
}

TEST(TarFormat, SizesBeyondTheOctalFieldUseBase256) {
    TarEntryHeader entry;
    entry.name = "item/big";
    entry.size = std::uint64_t{1} << 33;  // one more than eleven octal digits hold
    const TarBlock block = gnu_header(entry);
    EXPECT_EQ(static_cast<unsigned char>(block[124]), 0x80);
    EXPECT_EQ(static_cast<unsigned char>(block[131]), 0x02);  // 2^33 big-endian in bytes 1..11
    entry.size = (std::uint64_t{1} << 33) - 1;
    EXPECT_EQ(std::string(gnu_header(entry).data() + 124, 12), std::string("77777777777\0", 12));
    EXPECT_EQ(std::string(gnu_header(entry).data() + 257, 8), std::string("ustar  \0", 8));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class BackupArchiveTest : public ::testing::Test {
  protected:
    // Every entry at and below `root`, as the staging copy's record holds them.
    static TreeSnapshot staged_of(const std::string& root) {
        TreeSnapshot staged;
        std::vector<std::string> paths{root};
        if (fs::is_directory(fs::symlink_status(root))) {
            for (const auto& entry : fs::recursive_directory_iterator(root)) {
                paths.push_back(entry.path().string());
            }
        }
        for (const std::string& path : paths) {
            auto identity = filesystem::read_identity(path);
            EXPECT_TRUE(identity);
            if (identity) staged.insert(path, *identity);
        }
        return staged;
    }

    std::expected<host_trash::ArchiveReceipt, std::string> archive(const std::string& root,
                                                                    CancelFlag cancel = {}) {
        const int fd = ::open(archive_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        return write_backup_archive(root, staged_of(root), archive_, platform::Fd(fd), cancel);
    }

    testing::TempDir tmp_;
    std::string archive_ = tmp_ / "archive.tar";
};

constexpr const char* kListing = R"(
import hashlib, sys, tarfile
with tarfile.open(sys.argv[1]) as archive:
    for member in archive.getmembers():
        data = archive.extractfile(member).read() if member.isfile() else b""
        attributes = sorted((k, v) for k, v in member.pax_headers.items() if k.startswith("LIBARCHIVE"))
        print(member.name, member.type.decode(), oct(member.mode), member.size, member.linkname,
              hashlib.sha256(data).hexdigest()[:8], attributes, sorted(member.pax_headers))
)";

TEST_F(BackupArchiveTest, ATreeReadsBackWithTheSameContentNamesLinksAndAttributes) {
    const std::string root = tmp_.make_dir("staged");
    const std::string long_dir = std::string(60, 'd');
    const std::string long_file = std::string(70, 'f');
    tmp_.write_file("staged/a.txt", "alpha");
    tmp_.write_file("staged/empty", "");
    tmp_.write_file("staged/" + long_dir + "/" + long_file, std::string(20'000, 'z'));
    fs::create_symlink(std::string(150, 't'), root + "/far");
    fs::create_symlink("a.txt", root + "/near");
    const bool attributes =
        platform::write_attribute(root + "/a.txt", "user.my note", "kept").has_value() &&
        platform::write_attribute(root + "/empty", "user.empty", "").has_value();
    ::chmod((root + "/a.txt").c_str(), 0444);

    auto receipt = archive(root);
    ASSERT_TRUE(receipt) << receipt.error();
    const std::string bytes = read_file(archive_);
    EXPECT_EQ(receipt->size, bytes.size());
    EXPECT_EQ(bytes.size() % kTarBlock, 0u);
    const int fd = ::open(archive_.c_str(), O_RDONLY | O_CLOEXEC);
    auto digest = hash_file_sha256(fd, nullptr);
    ::close(fd);
    ASSERT_TRUE(digest);
    EXPECT_EQ(receipt->sha256, digest->sha256);
    EXPECT_EQ(receipt->identity.links, 1u);

    const auto listed = testing::run_process("python3", {"-c", kListing, archive_});
    ASSERT_EQ(listed.status, 0) << listed.err;
    const std::string z = "09ef7eb5";  // sha256 of 20,000 "z" bytes, first digits
    std::vector<std::string> lines;
    std::istringstream in(listed.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 7u) << listed.out;
    // Folders before their contents, component by component; the full mode word.
    EXPECT_TRUE(lines[0].starts_with("item 5 0o40755 0  ")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("item/a.txt 0 0o100444 5  8ed3f6ad")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with("item/" + long_dir + " 5 ")) << lines[2];
    EXPECT_TRUE(lines[3].starts_with("item/" + long_dir + "/" + long_file + " 0 0o100644 20000  " + z))
        << lines[3];
    EXPECT_TRUE(lines[4].starts_with("item/empty 0 0o100644 0  e3b0c442")) << lines[4];
    EXPECT_TRUE(lines[5].starts_with("item/far 2 0o120777 0 " + std::string(150, 't'))) << lines[5];
    EXPECT_TRUE(lines[6].starts_with("item/near 2 0o120777 0 a.txt ")) << lines[6];
    EXPECT_NE(lines[3].find("['atime', 'mtime']"), std::string::npos) << lines[3];
    if (attributes) {
        EXPECT_NE(lines[1].find("('LIBARCHIVE.xattr.user.my%20note', 'a2VwdA==')"),
                  std::string::npos) << lines[1];
        EXPECT_NE(lines[4].find("('LIBARCHIVE.xattr.user.empty', '')"), std::string::npos)
            << lines[4];
    }

    // The system's tar extracts the same tree.
    const std::string out = tmp_.make_dir("out");
    const auto extracted = testing::run_process("tar", {"-xf", archive_, "-C", out});
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(read_file(out + "/item/a.txt"), "alpha");
    EXPECT_EQ(read_file(out + "/item/" + long_dir + "/" + long_file), std::string(20'000, 'z'));
    EXPECT_EQ(fs::read_symlink(out + "/item/far").string(), std::string(150, 't'));
    EXPECT_EQ(fs::read_symlink(out + "/item/near").string(), "a.txt");

    // bsdtar reads the attributes back from their records.
    if (!fs::exists("/usr/bin/bsdtar") || !attributes) return;
    const std::string again = tmp_.make_dir("again");
    const auto bsd = testing::run_process("/usr/bin/bsdtar", {"--xattrs", "-xpf", archive_, "-C", again});
    ASSERT_EQ(bsd.status, 0) << bsd.err;
    EXPECT_EQ(platform::read_attribute(again + "/item/a.txt", "user.my note"), "kept");
    EXPECT_EQ(platform::read_attribute(again + "/item/empty", "user.empty"), "");
    EXPECT_EQ(read_file(again + "/item/" + long_dir + "/" + long_file), std::string(20'000, 'z'));
    EXPECT_EQ(fs::read_symlink(again + "/item/far").string(), std::string(150, 't'));
}

TEST_F(BackupArchiveTest, ASingleFileIsOnePaxEntryAndOneFileNamedItem) {
    const std::string file = tmp_.write_file("single", "one");
    auto receipt = archive(file);
    ASSERT_TRUE(receipt) << receipt.error();
    const std::string bytes = read_file(archive_);
    // pax header, its records, the file's header, its data, the two closing blocks
    EXPECT_EQ(bytes.size(), 6 * kTarBlock);
    EXPECT_EQ(bytes[156], 'x');
    EXPECT_EQ(std::string(bytes.data() + 2 * kTarBlock, 5), std::string("item\0", 5));
    EXPECT_EQ(bytes[2 * kTarBlock + 156], '0');
}

// The type flag and the stored name field of every header in an archive, in order.
std::vector<std::pair<char, std::string>> headers_of(const std::string& bytes) {
    std::vector<std::pair<char, std::string>> headers;
    std::size_t at = 0;
    // Up to the closing blocks of zero bytes.
    while (at + kTarBlock <= bytes.size() && bytes.find_first_not_of('\0', at) < at + kTarBlock) {
        const std::string name(bytes.data() + at, kTarNameField);
        const std::uint64_t size =
            std::stoull(std::string(bytes.data() + at + 124, 11), nullptr, 8);
        headers.emplace_back(bytes[at + 156], name.substr(0, name.find('\0')));
        at += kTarBlock * (1 + (size + kTarBlock - 1) / kTarBlock);
    }
    return headers;
}

TEST_F(BackupArchiveTest, NamesAndLinkTargetsOfOneHundredBytesNeedNoLongEntry) {
    const std::string root = tmp_.make_dir("staged");
    const std::string fits(95, 'f');  // "item/" and 95 bytes: exactly 100
    tmp_.write_file("staged/" + fits, "a");
    tmp_.write_file("staged/" + fits + "g", "b");
    fs::create_symlink(std::string(100, 't'), root + "/l");
    fs::create_symlink(std::string(101, 't'), root + "/m");

    auto receipt = archive(root);
    ASSERT_TRUE(receipt) << receipt.error();
    const auto headers = headers_of(read_file(archive_));
    const std::vector<std::pair<char, std::string>> expected{
        {'x', ""},
        {'5', "item/"},
        {'x', ""},
        {'0', "item/" + fits},
        {'x', ""},
        {'L', "././@LongLink"},
        {'0', ("item/" + fits + "g").substr(0, 100)},
        {'x', ""},
        {'2', "item/l"},
        {'x', ""},
        {'K', "././@LongLink"},
        {'2', "item/m"},
    };
    EXPECT_EQ(headers, expected);

    const std::string out = tmp_.make_dir("out");
    const auto extracted = testing::run_process("tar", {"-xf", archive_, "-C", out});
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(read_file(out + "/item/" + fits), "a");
    EXPECT_EQ(read_file(out + "/item/" + fits + "g"), "b");
    EXPECT_EQ(fs::read_symlink(out + "/item/l").string(), std::string(100, 't'));
    EXPECT_EQ(fs::read_symlink(out + "/item/m").string(), std::string(101, 't'));
}

TEST_F(BackupArchiveTest, SavedArchivesAreRefusedWhenNotExactlyAsWritten) {
    const std::string file = tmp_.write_file("single", "one");
    auto receipt = archive(file);
    ASSERT_TRUE(receipt) << receipt.error();
    std::string upper = receipt->sha256;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(verify_saved_backup(archive_, upper, receipt->size, nullptr).error(), kDigestRequired);
    std::string other = receipt->sha256;
    other[0] = other[0] == '0' ? '1' : '0';
    EXPECT_EQ(verify_saved_backup(archive_, other, receipt->size, nullptr).error(),
              kSavedBackupFailed);
    EXPECT_EQ(verify_saved_backup(archive_, receipt->sha256, receipt->size + 1, nullptr).error(),
              kSavedBackupNotExclusive);
    ASSERT_TRUE(verify_saved_backup(archive_, receipt->sha256, receipt->size, nullptr));
    fs::create_hard_link(archive_, tmp_ / "second");
    EXPECT_EQ(verify_saved_backup(archive_, receipt->sha256, receipt->size, nullptr).error(),
              kSavedBackupNotExclusive);
}

TEST_F(BackupArchiveTest, CancelledOrSpecialEntriesStopTheArchive) {
    const std::string root = tmp_.make_dir("staged");
    tmp_.write_file("staged/a", "a");
    auto cancel = make_cancel_flag();
    cancel->store(true);
    EXPECT_EQ(archive(root, cancel).error(), kArchiveCancelled);
    fs::remove(archive_);
    ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(archive(root).error(), kSpecialNotArchived);
}

TEST_F(BackupArchiveTest, AStagedFileChangedSinceItsRecordIsRefused) {
    const std::string root = tmp_.make_dir("staged");
    tmp_.write_file("staged/a", "a");
    TreeSnapshot staged = staged_of(root);
    tmp_.write_file("staged/a", "changed");
    const int fd = ::open(archive_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    auto result = write_backup_archive(root, staged, archive_, platform::Fd(fd), nullptr);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), filesystem::kItemChanged);
}

}  // namespace
}  // namespace bramvelt::cleanup
