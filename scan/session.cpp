#include "scan/session.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>

#include "platform/open_file_limit.hpp"
#include "platform/path_io.hpp"
#include "platform/utf8.hpp"
#include "scan/tree_json.hpp"

namespace bramvelt::scan {
namespace {

// The kernel's mount table; nothing when it cannot be read.
std::optional<std::string> read_mount_table() {
    auto table = platform::read_file("/proc/mounts");
    if (!table) return std::nullopt;
    return std::move(*table);
}

// Unicode White_Space characters, as UTF-8.
std::size_t white_space_length(std::string_view text, std::size_t pos) {
    const auto c = static_cast<unsigned char>(text[pos]);
    if ((c >= 0x09 && c <= 0x0D) || c == 0x20) return 1;
    if (c < 0x80) return 0;
    std::size_t next = pos;
    const char32_t cp = platform::next_code_point(text, next);
    switch (cp) {
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return next - pos;
        default:
            return (cp >= 0x2000 && cp <= 0x200A) ? next - pos : 0;
    }
}

std::vector<std::string_view> split_white_space(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    std::size_t start = std::string_view::npos;
    while (pos < line.size()) {
        const std::size_t ws = white_space_length(line, pos);
        if (ws > 0) {
            if (start != std::string_view::npos) fields.push_back(line.substr(start, pos - start));
            start = std::string_view::npos;
            pos += ws;
        } else {
            if (start == std::string_view::npos) start = pos;
            ++pos;
        }
    }
    if (start != std::string_view::npos) fields.push_back(line.substr(start));
    return fields;
}

// A backslash and three octal digits worth at most 255 is that byte; every other byte stands for
// itself.
std::string decode_mount_point(std::string_view field) {
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && field.size() - i > 3 && octal(field[i + 1]) &&
            octal(field[i + 2]) && octal(field[i + 3])) {
            const int value =
                (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 255) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

constexpr std::array<std::string_view, 10> kPseudoTypes = {
    "proc",   "sysfs",   "cgroup",  "cgroup2",    "devpts",
    "mqueue", "debugfs", "tracefs", "securityfs", "fusectl"};

std::vector<std::string> excluded_mounts_for(const std::optional<std::string>& table) {
    std::vector<std::string> mounts;
    if (table && platform::is_valid_utf8(*table)) {
        mounts = pseudo_mounts_from_table(*table);
    }
    if (mounts.empty()) {
        mounts = {"/proc", "/sys"};
    }
    return mounts;
}

void write_event_line(platform::Writer& sink, const ScanEvent& event, bool& ok) {
    std::visit(
        [&](const auto& e) {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, ProgressEvent>) {
                std::string line = "{\"type\":\"progress\",\"bytesScanned\":";
                line += std::to_string(e.bytes_scanned);
                line += ",\"filesScanned\":" + std::to_string(e.files_scanned);
                line += ",\"directoriesScanned\":" + std::to_string(e.directories_scanned);
                line += ",\"unreadableItems\":" + std::to_string(e.unreadable_items);
                line += ",\"currentPath\":";
                append_json_escaped(line, e.current_path);
                line += "}\n";
                ok = sink.write(line);
            } else if constexpr (std::is_same_v<T, SnapshotEvent>) {
                ok = sink.write("{\"type\":\"snapshot\",\"tree\":") &&
                     write_tree_json(sink, *e.tree) && sink.write("}\n");
            } else if constexpr (std::is_same_v<T, CompleteEvent>) {
                ok = sink.write("{\"type\":\"complete\",\"tree\":") &&
                     write_tree_json(sink, *e.tree) && sink.write("}\n");
            } else {
                std::string head = "{\"type\":\"error\",\"code\":";
                append_json_escaped(head, e.code);
                head += ",\"message\":";
                append_json_escaped(head, e.message);
                ok = sink.write(head);
                if (ok && e.partial_tree != nullptr) {
                    ok = sink.write(",\"partialTree\":") && write_tree_json(sink, *e.partial_tree);
                }
                ok = ok && sink.write("}\n");
            }
        },
        event);
}

// A quarter of the open-file limit, so the rest of the program keeps room, and no more
// than deep walks on many workers can use.
long held_directory_budget() {
    constexpr unsigned long kMost = 4096;
    const unsigned long limit = platform::open_file_limit().value_or(256);
    return static_cast<long>(std::min(limit / 4, kMost));
}

}  // namespace

EventBuffer::EventBuffer(std::unique_ptr<platform::Writer> writer) : writer_(std::move(writer)) {
    if (!writer_) writer_ = std::make_unique<platform::NullWriter>();
}

bool EventBuffer::write(std::string_view bytes) {
    if (buffer_.size() + bytes.size() > kCapacity) {
        if (!buffer_.empty()) {
            const bool sent = writer_->write(buffer_);
            buffer_.clear();
            if (!sent) return false;
        }
        if (bytes.size() > kCapacity) return writer_->write(bytes);
    }
    if (buffer_.capacity() < kCapacity) buffer_.reserve(kCapacity);
    buffer_.append(bytes);
    return true;
}

bool EventBuffer::flush() {
    bool ok = true;
    if (!buffer_.empty()) {
        ok = writer_->write(buffer_);
        buffer_.clear();
    }
    return writer_->flush() && ok;
}

std::vector<std::string> pseudo_mounts_from_table(std::string_view table) {
    std::vector<std::string> mounts;
    std::size_t start = 0;
    while (start <= table.size()) {
        std::size_t end = table.find('\n', start);
        if (end == std::string_view::npos) end = table.size();
        std::string_view line = table.substr(start, end - start);
        if (line.ends_with('\r')) line.remove_suffix(1);
        const auto fields = split_white_space(line);
        if (fields.size() >= 3) {
            for (const auto type : kPseudoTypes) {
                if (fields[2] == type) {
                    mounts.push_back(decode_mount_point(fields[1]));
                    break;
                }
            }
        }
        if (end == table.size()) break;
        start = end + 1;
    }
    return mounts;
}

ScanSession::ScanSession(const ScanOptions& opts, std::unique_ptr<platform::Writer> writer,
                         CancelFlag cancel_flag)
    : ScanSession(opts, std::move(writer), std::move(cancel_flag), read_mount_table()) {}

ScanSession::ScanSession(const ScanOptions& opts, std::unique_ptr<platform::Writer> writer,
                         CancelFlag cancel_flag, const std::optional<std::string>& mount_table)
    : options(opts),
      excluded_mounts(excluded_mounts_for(mount_table)),
      profile(opts.profile),
      collapse_packages(opts.collapse_packages),
      skip_links(opts.skip_links),
      cancel(cancel_flag ? std::move(cancel_flag) : make_cancel_flag()),
      output(std::move(writer)) {
    excluded_prefixes.reserve(excluded_mounts.size());
    for (const auto& mount : excluded_mounts) {
        std::string prefix = mount;
        while (prefix.ends_with('/')) prefix.pop_back();
        prefix += '/';
        excluded_prefixes.push_back(std::move(prefix));
    }
    output.last_progress = std::chrono::steady_clock::now();
    open_directories_left.store(held_directory_budget());
}

void set_event_callback(ScanSession& session, ScanEventCallback callback) {
    std::lock_guard<std::mutex> lock(session.output_mutex);
    session.output.callback = std::move(callback);
}

std::expected<void, std::string> ignore_scan_event(ScanEvent) {
    return {};
}

bool snapshots_ignored(ScanSession& session) {
    using Plain = std::expected<void, std::string> (*)(ScanEvent);
    std::lock_guard<std::mutex> lock(session.output_mutex);
    const Plain* target = session.output.callback.target<Plain>();
    return target != nullptr && *target == &ignore_scan_event;
}

void emit_event(ScanSession& session, ScanEvent event) {
    std::lock_guard<std::mutex> lock(session.output_mutex);
    if (session.output.callback) {
        if (!session.output.callback(std::move(event))) {
            session.close_output();
        }
        return;
    }
    bool ok = true;
    write_event_line(session.output.event_buffer, event, ok);
    ok = session.output.event_buffer.flush() && ok;
    if (!ok) session.close_output();
}

bool is_excluded_path(const ScanSession& session, std::string_view path) {
    for (const auto& mount : session.excluded_mounts) {
        if (path == mount) return true;
    }
    for (const auto& prefix : session.excluded_prefixes) {
        if (path.starts_with(prefix)) return true;
    }
    return false;
}

std::optional<std::string> scan_home_dir() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || !platform::is_valid_utf8(home)) return std::nullopt;
    return std::string(home);
}

}  // namespace bramvelt::scan
