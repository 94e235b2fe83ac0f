#pragma once
// Writes one directory's omitted files into the catalog by an external sort: records
// are buffered up to a text budget, sorted and written as a run; every 16 runs of one
// level merge into a run of the next; at the directory's end the remaining runs become
// the data file, which is read back once to check it and to build the index.
//
// Files of a directory with key K: K.binding (the directory's path), K.run.N (runs,
// deleted once merged), K.data (all records in record order), K.index (made as
// K.pending and renamed): "BVIDX001", the path, record count, size sum, data size, then
// each record's offset in the data file and one more offset equal to its size.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scan/catalog.hpp"
#include "scan/catalog_file.hpp"
#include "scan/catalog_record.hpp"

namespace bramvelt::scan {

struct ChildRetainer;

// The buffer is written as a run once its budget reaches this many bytes.
inline constexpr std::uint64_t kCatalogRunBudget = 524'288;
// What each buffered record adds to the budget beyond its path's length.
inline constexpr std::uint64_t kCatalogRecordOverhead = 192;
// The most runs one merge reads at once.
inline constexpr std::size_t kCatalogMergeFanIn = 16;

inline constexpr std::string_view kCatalogIndexMagic = "BVIDX001";

// The catalog state of one directory, made at its first omitted file; owned by the
// thread walking the directory. Dropping it removes no file.
struct CatalogDirectoryWriter {
    std::string directory;  // the directory's path as text
    std::string key;
    std::vector<RetainedChild> buffer;             // records not yet in a run
    std::vector<std::vector<std::string>> levels;  // run names waiting to be merged
    std::shared_ptr<ScanCatalog> catalog;
    std::uint64_t budget = 0;
    std::uint64_t run_counter = 0;  // number of the last run made
    std::uint64_t record_count = 0;
    std::int64_t record_bytes = 0;
};

// Counts an omitted file into the retainer's totals and, with a catalog attached and
// sound, records it. Never fails: failures are recorded in the catalog.
void catalog_spill_record(ChildRetainer& retainer, TreeNode child,
                          std::optional<CatalogIdentity> identity);

// Writes the buffer as one run and performs the merges it completes.
CatalogResult<void> flush_catalog_run(CatalogDirectoryWriter& writer);

// Opens the named runs in order, stopping at the first that cannot be opened.
CatalogResult<std::vector<CatalogInput>> open_catalog_runs(int folder_fd,
                                                           std::span<const std::string> names);

// Merges at most 16 runs into a new file `output`; the inputs stay.
CatalogResult<void> merge_catalog_runs(int folder_fd, std::span<const std::string> inputs,
                                       const std::string& output);

// The directory's end: last run, merges, the data file and the index. The caller
// records a failure; files made so far stay.
CatalogResult<void> finish_catalog_writer(CatalogDirectoryWriter& writer);

}  // namespace bramvelt::scan
