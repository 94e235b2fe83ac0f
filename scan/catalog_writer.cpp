#include "scan/catalog_writer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>

#include "platform/os_error.hpp"
#include "platform/utf8.hpp"
#include "scan/retention.hpp"

namespace bramvelt::scan {
namespace {

constexpr std::string_view kInvalidDirectoryText = "Invalid catalog directory";
constexpr std::string_view kCountOverflowText = "Catalog count overflow";
constexpr std::string_view kAllocationOverflowText = "Catalog allocation overflow";
constexpr std::string_view kRunOverflowText = "Catalog run overflow";
constexpr std::string_view kFanInText = "Catalog merge fan-in exceeded";
constexpr std::string_view kPositionOverflowText = "Catalog read position overflow";
constexpr std::string_view kAccountingText = "Catalog accounting does not match omitted files";

std::unexpected<std::string> fail(std::string_view text) {
    return std::unexpected(std::string(text));
}

std::unexpected<std::string> os_failure(int error) {
    return std::unexpected(platform::os_error_text(error));
}

void append_u64(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

CatalogResult<void> remove_catalog_file(int folder_fd, const std::string& name) {
    if (::unlinkat(folder_fd, name.c_str(), 0) != 0) return os_failure(errno);
    return {};
}

CatalogResult<std::string> next_run_name(CatalogDirectoryWriter& writer) {
    if (writer.run_counter == std::numeric_limits<std::uint64_t>::max()) {
        return fail(kRunOverflowText);
    }
    ++writer.run_counter;
    return catalog_run_name(writer.key, writer.run_counter);
}

// Merges the runs into `output` and deletes them.
CatalogResult<void> merge_and_remove(int folder_fd, std::span<const std::string> runs,
                                     const std::string& output) {
    if (auto merged = merge_catalog_runs(folder_fd, runs, output); !merged) return merged;
    for (const auto& run : runs) {
        if (auto removed = remove_catalog_file(folder_fd, run); !removed) return removed;
    }
    return {};
}

// The writer for a directory, with its binding file written; the directory's path must
// be absolute, at most 65,536 bytes and free of NUL bytes.
CatalogResult<CatalogDirectoryWriter> start_writer(std::string_view raw_directory,
                                                   std::shared_ptr<ScanCatalog> catalog) {
    std::string directory = platform::to_utf8_lossy(raw_directory);
    if (directory.empty() || directory.size() > kCatalogTextCapacity ||
        directory.find('\0') != std::string::npos || !directory.starts_with('/')) {
        return fail(kInvalidDirectoryText);
    }
    std::string key = catalog_directory_key(directory);
    auto binding = create_catalog_file(catalog->folder_fd(), catalog_binding_name(key));
    if (!binding) return std::unexpected(std::move(binding.error()));
    std::string text;
    if (auto ok = append_catalog_text(text, directory); !ok) return std::unexpected(ok.error());
    if (auto ok = write_catalog_bytes(binding->get(), text); !ok) {
        return std::unexpected(ok.error());
    }
    CatalogDirectoryWriter writer;
    writer.directory = std::move(directory);
    writer.key = std::move(key);
    writer.catalog = std::move(catalog);
    return writer;
}

// Reads the data file back, checks every record and writes the index as K.pending,
// then renames it to K.index.
CatalogResult<void> write_index(CatalogDirectoryWriter& writer) {
    const int folder_fd = writer.catalog->folder_fd();
    auto data = CatalogInput::open(folder_fd, catalog_data_name(writer.key));
    if (!data) return std::unexpected(std::move(data.error()));
    const std::uint64_t data_size = data->file_size();
    const std::string pending = catalog_pending_name(writer.key);
    auto index = CatalogOutput::create(folder_fd, pending);
    if (!index) return std::unexpected(std::move(index.error()));

    std::string header(kCatalogIndexMagic);
    if (auto ok = append_catalog_text(header, writer.directory); !ok) return ok;
    append_u64(header, writer.record_count);
    append_u64(header, static_cast<std::uint64_t>(writer.record_bytes));
    append_u64(header, data_size);
    if (auto ok = index->write(header); !ok) return ok;

    std::uint64_t position = 0;
    std::uint64_t count = 0;
    std::int64_t sum = 0;
    std::string offset;
    for (;;) {
        offset.clear();
        append_u64(offset, position);
        if (auto ok = index->write(offset); !ok) return ok;
        std::uint64_t consumed = 0;
        auto record = read_catalog_record(*data, consumed);
        if (!record) return std::unexpected(std::move(record.error()));
        if (!*record) break;
        if (auto ok = validate_catalog_record((*record)->node, writer.directory); !ok) return ok;
        if (__builtin_add_overflow(sum, (*record)->node.size, &sum)) {
            return fail(kAllocationOverflowText);
        }
        ++count;
        if (__builtin_add_overflow(position, consumed, &position)) {
            return fail(kPositionOverflowText);
        }
    }
    if (count != writer.record_count || sum != writer.record_bytes || position != data_size) {
        return fail(kAccountingText);
    }
    if (auto ok = index->flush(); !ok) return ok;
    if (::renameat(folder_fd, pending.c_str(), folder_fd, catalog_index_name(writer.key).c_str()) !=
        0) {
        return os_failure(errno);
    }
    return {};
}

}  // namespace

void catalog_spill_record(ChildRetainer& retainer, TreeNode child,
                          std::optional<CatalogIdentity> identity) {
    retainer.omitted_bytes += static_cast<std::uint64_t>(child.size);
    retainer.omitted_files += static_cast<std::uint64_t>(child.file_count);
    ScanCatalog* catalog = retainer.catalog.get();
    if (catalog == nullptr || catalog->failed()) return;

    if (!retainer.writer) {
        auto writer = start_writer(retainer.directory, retainer.catalog);
        if (!writer) {
            catalog->record_error(writer.error());
            return;
        }
        retainer.writer = std::move(*writer);
    }
    CatalogDirectoryWriter& writer = *retainer.writer;
    if (auto valid = validate_catalog_record(child, writer.directory); !valid) {
        catalog->record_error(valid.error());
        return;
    }
    if (writer.record_count == std::numeric_limits<std::uint64_t>::max()) {
        catalog->record_error(kCountOverflowText);
        return;
    }
    std::int64_t bytes = 0;
    if (__builtin_add_overflow(writer.record_bytes, child.size, &bytes)) {
        catalog->record_error(kAllocationOverflowText);
        return;
    }
    ++writer.record_count;
    writer.record_bytes = bytes;
    writer.budget += child.path.size() + kCatalogRecordOverhead;
    writer.buffer.push_back(RetainedChild{std::move(child), identity});
    if (writer.budget >= kCatalogRunBudget) {
        if (auto flushed = flush_catalog_run(writer); !flushed) {
            catalog->record_error(flushed.error());
        }
    }
}

CatalogResult<void> flush_catalog_run(CatalogDirectoryWriter& writer) {
    if (writer.buffer.empty()) return {};
    std::ranges::stable_sort(writer.buffer, [](const RetainedChild& a, const RetainedChild& b) {
        return catalog_record_precedes(a.node, b.node);
    });
    const int folder_fd = writer.catalog->folder_fd();
    auto name = next_run_name(writer);
    if (!name) return std::unexpected(std::move(name.error()));
    auto run = CatalogOutput::create(folder_fd, *name);
    if (!run) return std::unexpected(std::move(run.error()));
    for (const auto& record : writer.buffer) {
        if (auto ok = encode_catalog_record(*run, record); !ok) return ok;
    }
    if (auto ok = run->flush(); !ok) return ok;
    writer.buffer.clear();
    writer.budget = 0;

    std::size_t level = 0;
    if (writer.levels.empty()) writer.levels.emplace_back();
    writer.levels[0].push_back(std::move(*name));
    while (writer.levels[level].size() == kCatalogMergeFanIn) {
        std::vector<std::string> inputs = std::move(writer.levels[level]);
        writer.levels[level].clear();
        auto merged = next_run_name(writer);
        if (!merged) return std::unexpected(std::move(merged.error()));
        if (auto ok = merge_and_remove(folder_fd, inputs, *merged); !ok) return ok;
        ++level;
        if (writer.levels.size() == level) writer.levels.emplace_back();
        writer.levels[level].push_back(std::move(*merged));
    }
    return {};
}

CatalogResult<std::vector<CatalogInput>> open_catalog_runs(int folder_fd,
                                                           std::span<const std::string> names) {
    std::vector<CatalogInput> inputs;
    inputs.reserve(names.size());
    for (const auto& name : names) {
        auto input = CatalogInput::open(folder_fd, name);
        if (!input) return std::unexpected(std::move(input.error()));
        inputs.push_back(std::move(*input));
    }
    return inputs;
}

CatalogResult<void> merge_catalog_runs(int folder_fd, std::span<const std::string> inputs,
                                       const std::string& output) {
    if (inputs.size() > kCatalogMergeFanIn) return fail(kFanInText);
    auto runs = open_catalog_runs(folder_fd, inputs);
    if (!runs) return std::unexpected(std::move(runs.error()));
    std::vector<std::optional<RetainedChild>> current(runs->size());
    std::uint64_t consumed = 0;
    for (std::size_t i = 0; i < runs->size(); ++i) {
        auto record = read_catalog_record((*runs)[i], consumed);
        if (!record) return std::unexpected(std::move(record.error()));
        current[i] = std::move(*record);
    }
    auto out = CatalogOutput::create(folder_fd, output);
    if (!out) return std::unexpected(std::move(out.error()));
    for (;;) {
        std::optional<std::size_t> first;
        for (std::size_t i = 0; i < current.size(); ++i) {
            if (!current[i]) continue;
            // Strictly earlier only, so equal records come from the earlier input.
            if (!first || catalog_record_precedes(current[i]->node, current[*first]->node)) {
                first = i;
            }
        }
        if (!first) break;
        if (auto ok = encode_catalog_record(*out, *current[*first]); !ok) return ok;
        auto record = read_catalog_record((*runs)[*first], consumed);
        if (!record) return std::unexpected(std::move(record.error()));
        current[*first] = std::move(*record);
    }
    return out->flush();
}

CatalogResult<void> finish_catalog_writer(CatalogDirectoryWriter& writer) {
    if (auto ok = flush_catalog_run(writer); !ok) return ok;
    const int folder_fd = writer.catalog->folder_fd();
    std::vector<std::string> runs;
    for (auto& level : writer.levels) {
        for (auto& run : level) runs.push_back(std::move(run));
    }
    writer.levels.clear();

    std::size_t first = 0;  // runs before it are merged away
    while (runs.size() - first > kCatalogMergeFanIn) {
        const std::span<const std::string> batch(runs.data() + first, kCatalogMergeFanIn);
        auto merged = next_run_name(writer);
        if (!merged) return std::unexpected(std::move(merged.error()));
        if (auto ok = merge_and_remove(folder_fd, batch, *merged); !ok) return ok;
        first += kCatalogMergeFanIn;
        runs.push_back(std::move(*merged));
    }
    const std::span<const std::string> rest(runs.data() + first, runs.size() - first);
    const std::string data = catalog_data_name(writer.key);
    // One run already is the data file: give it the name instead of copying it. Without
    // AT_SYMLINK_FOLLOW the link is never followed.
    if (rest.size() == 1 && ::linkat(folder_fd, rest[0].c_str(), folder_fd, data.c_str(), 0) == 0) {
        if (auto ok = remove_catalog_file(folder_fd, rest[0]); !ok) return ok;
    } else if (auto ok = merge_and_remove(folder_fd, rest, data); !ok) {
        return ok;
    }
    return write_index(writer);
}

}  // namespace bramvelt::scan
