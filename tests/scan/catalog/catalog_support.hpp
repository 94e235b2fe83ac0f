#pragma once
// A private catalog folder under a fresh TempDir, and readers for the files a catalog
// leaves there, shared by the catalog tests.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "scan/catalog.hpp"
#include "scan/catalog_file.hpp"
#include "scan/catalog_record.hpp"
#include "scan/retention.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::scan::catalog_test {

class CatalogFolder {
  public:
    explicit CatalogFolder(const testing::TempDir& tmp, std::string_view name = "catalog")
        : path(tmp.make_dir(name)), cancel(make_cancel_flag()) {
        ::chmod(path.c_str(), 0700);
        auto opened = open_scan_catalog(path, cancel);
        if (!opened) throw std::runtime_error(opened.error());
        catalog = *opened;
    }

    std::set<std::string> names() const {
        std::set<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            out.insert(entry.path().filename().string());
        }
        return out;
    }
    std::string operator/(std::string_view name) const { return path + "/" + std::string(name); }
    std::optional<std::string> first_error() const { return catalog->first_error(); }

    std::string path;
    CancelFlag cancel;
    std::shared_ptr<ScanCatalog> catalog;
};

inline TreeNode file_node(std::string path, std::int64_t size,
                          std::optional<std::int64_t> time = std::nullopt) {
    TreeNode node;
    node.path = std::move(path);
    node.kind = NodeKind::File;
    node.size = size;
    node.file_count = 1;
    node.modification_time = time;
    return node;
}

// "{directory}/{number}" padded with "x" to exactly `length` bytes.
inline std::string padded_path(std::string_view directory, std::int64_t number,
                               std::size_t length) {
    std::string path = std::string(directory) + "/" + std::to_string(number) + "-";
    if (path.size() < length) path.append(length - path.size(), 'x');
    return path;
}

inline std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::uint64_t u64_at(std::string_view bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    }
    return value;
}

inline std::uint32_t u32_at(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    }
    return value;
}

// Every record of a data or run file, read the way the catalog reads them.
inline std::vector<RetainedChild> read_records(const CatalogFolder& folder,
                                               const std::string& name) {
    std::vector<RetainedChild> records;
    auto input = CatalogInput::open(folder.catalog->folder_fd(), name);
    EXPECT_TRUE(input.has_value()) << (input ? "" : input.error());
    if (!input) return records;
    for (;;) {
        std::uint64_t consumed = 0;
        auto record = read_catalog_record(*input, consumed);
        EXPECT_TRUE(record.has_value()) << (record ? "" : record.error());
        if (!record || !*record) break;
        records.push_back(std::move(**record));
    }
    return records;
}

struct IndexFile {
    std::string directory;
    std::uint64_t count = 0;
    std::uint64_t bytes = 0;
    std::uint64_t data_size = 0;
    std::vector<std::uint64_t> offsets;
};

inline IndexFile read_index(const std::string& path) {
    const std::string bytes = read_bytes(path);
    IndexFile index;
    EXPECT_EQ(bytes.substr(0, 8), "BVIDX001");
    const std::uint32_t n = u32_at(bytes, 8);
    index.directory = bytes.substr(12, n);
    std::size_t at = 12 + n;
    index.count = u64_at(bytes, at);
    index.bytes = u64_at(bytes, at + 8);
    index.data_size = u64_at(bytes, at + 16);
    for (at += 24; at + 8 <= bytes.size(); at += 8) index.offsets.push_back(u64_at(bytes, at));
    EXPECT_EQ(at, bytes.size()) << "index ends inside an offset";
    return index;
}

}  // namespace bramvelt::scan::catalog_test
