#include "src/tui/volumes.hpp"

#include <charconv>
#include <string>

#include "platform/file_status.hpp"
#include "platform/file_system_type.hpp"
#include "platform/spawn.hpp"
#include "platform/temp_file.hpp"
#include "platform/text.hpp"
#include "platform/utf8.hpp"
#include "platform/volume.hpp"
#include "src/tui/worker_thread.hpp"

namespace bramvelt::tui {
namespace {

constexpr std::size_t kMaxDfOutput = 4 * 1024 * 1024;

std::vector<std::string_view> split_white_space(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    std::size_t start = std::string_view::npos;
    while (pos < line.size()) {
        const std::size_t here = pos;
        const bool blank = platform::is_white_space(platform::next_code_point(line, pos));
        if (blank && start != std::string_view::npos) {
            fields.push_back(line.substr(start, here - start));
            start = std::string_view::npos;
        } else if (!blank && start == std::string_view::npos) {
            start = here;
        }
    }
    if (start != std::string_view::npos) fields.push_back(line.substr(start));
    return fields;
}

std::optional<std::uint64_t> parse_blocks(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::uint64_t kibibytes(std::uint64_t blocks) {
    std::uint64_t bytes = 0;
    return __builtin_mul_overflow(blocks, 1024u, &bytes) ? UINT64_MAX : bytes;
}

}  // namespace

bool is_folder(const std::string& path) {
    const auto status = platform::status_of_path(path, platform::FollowFinalLink::yes);
    return status && status->is_directory();
}

std::optional<platform::FileSystemType> mounted_type(const std::string& mount_point) {
    const auto type = platform::file_system_type(mount_point);
    if (!type) return std::nullopt;
    return *type;
}

std::vector<LauncherEntry> parse_df_output(std::string_view output, const IsFolder& folder,
                                           const MountedType& type) {
    std::vector<LauncherEntry> volumes;
    const std::vector<std::string> lines = platform::split_lines(output);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto fields = split_white_space(lines[i]);
        if (fields.size() < 6) continue;
        const auto size = parse_blocks(fields[1]);
        const auto used = parse_blocks(fields[2]);
        if (!size || !used) continue;
        std::string mount(fields[5]);
        for (std::size_t f = 6; f < fields.size(); ++f) {
            mount += ' ';
            mount += fields[f];
        }
        if (*size == 0) continue;
        auto title = platform::volume_title(mount, fields[0]);
        if (!title) continue;
        bool seen = false;
        for (const LauncherEntry& v : volumes) {
            seen = seen || v.detail == mount;
        }
        if (seen || !folder(mount)) continue;
        // A source is free text (a tmpfs mounts under any name); the kernel's type decides.
        if (const auto mounted = type(mount); mounted && platform::is_memory_file_system(*mounted))
            continue;
        volumes.push_back(LauncherEntry{std::pair{kibibytes(*used), kibibytes(*size)},
                                        std::move(*title), mount, ScanFolder{mount}});
    }
    return volumes;
}

std::vector<LauncherEntry> read_volumes(std::chrono::milliseconds limit) {
    auto output = platform::UnnamedTempFile::create("bramvelt-df");
    if (!output) return {};
    platform::SpawnOptions options;
    options.program = "df";
    options.args = {"-kP"};
    options.in = platform::Stdio::null();
    options.out = platform::Stdio::from_fd(output->fd());
    options.err = platform::Stdio::null();
    auto child = platform::spawn(options);
    if (!child) return {};
    auto status = child->wait_for(limit, std::chrono::milliseconds(5));
    if (!status || !*status) {
        // A df stuck in the kernel on a hung mount may not die at once, and reaping it
        // would wait as long: a thread of its own kills and reaps it.
        child->kill();
        auto reaper = WorkerThread::start(
            [c = std::make_shared<platform::Child>(std::move(*child))] { c->kill_and_reap(); });
        if (reaper) reaper->detach();
        return {};
    }
    if (!(*status)->success()) return {};
    auto text = output->read_from_start(kMaxDfOutput);
    if (!text) return {};
    return parse_df_output(*text);
}

}  // namespace bramvelt::tui
