#include "core/development/filter_drivers.hpp"

#include <algorithm>
#include <cerrno>

#include "core/development/config_file.hpp"
#include "core/filesystem/byte_path.hpp"
#include "platform/file_status.hpp"
#include "platform/listing.hpp"
#include "platform/path_io.hpp"

namespace bramvelt::development {
namespace {

// A header longer than this is left to Git's own reading.
constexpr std::size_t kHeaderLimit = 1024;
constexpr std::size_t kWorktreeLimit = 4096;

constexpr std::string_view kFilterSection = "filter.";

// Git's character classes: ASCII only, whatever the locale.
bool git_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool key_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}
char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Characters as Git's configuration reader delivers them: "\r\n" as "\n", and the end of
// the text as "\n" with `end` set.
struct ConfigReader {
    std::string_view text;
    std::size_t pos = 0;
    bool end = false;

    char next() {
        if (pos >= text.size()) {
            end = true;
            return '\n';
        }
        const char c = text[pos++];
        if (c == '\r' && pos < text.size() && text[pos] == '\n') {
            ++pos;
            return '\n';
        }
        return c;
    }
};

enum class HeaderRead { Section, NotAHeader, TooLong };

// The section named by a header whose "[" was just read, formed as Git forms it: the
// name lower-cased, then a quoted subsection verbatim after a dot ("[Filter "X"]" is
// "filter.X", "[filter.X]" is "filter.x").
HeaderRead read_section(ConfigReader& r, std::string& section) {
    const std::size_t start = r.pos;
    const auto too_long = [&] { return r.pos - start > kHeaderLimit; };
    char c = r.next();
    while (!r.end && c != ']' && !git_space(c)) {
        if ((!key_char(c) && c != '.') || too_long()) {
            return too_long() ? HeaderRead::TooLong : HeaderRead::NotAHeader;
        }
        section.push_back(ascii_lower(c));
        c = r.next();
    }
    if (r.end) {
        return HeaderRead::NotAHeader;
    }
    if (c == ']') {
        return section.empty() ? HeaderRead::NotAHeader : HeaderRead::Section;
    }
    while (git_space(c)) {
        if (c == '\n') return HeaderRead::NotAHeader;
        c = r.next();
    }
    if (c != '"') {
        return HeaderRead::NotAHeader;
    }
    section.push_back('.');
    for (;;) {
        c = r.next();
        if (too_long()) return HeaderRead::TooLong;
        if (c == '\n') return HeaderRead::NotAHeader;
        if (c == '"') break;
        if (c == '\\') {
            c = r.next();
            if (c == '\n') return HeaderRead::NotAHeader;
        }
        section.push_back(c);
    }
    return r.next() == ']' ? HeaderRead::Section : HeaderRead::NotAHeader;
}

// The config.worktree of each linked worktree's Git directory; nothing when the folder
// cannot be listed whole.
std::optional<std::vector<std::string>> worktree_config_files(std::string_view common_dir) {
    const std::string folder = filesystem::path_join(common_dir, "worktrees");
    auto fd = platform::open_directory_path(folder.c_str(), platform::FollowFinalLink::yes);
    if (!fd) {
        if (fd.error() == ENOENT || fd.error() == ENOTDIR) {
            return std::vector<std::string>{};
        }
        return std::nullopt;
    }
    platform::DirEntryReader reader(std::move(*fd));
    std::vector<std::string> files;
    for (;;) {
        const auto batch = reader.read_batch();
        if (!batch) {
            return std::nullopt;
        }
        if (*batch == 0) {
            return files;
        }
        for (const auto& entry : reader.entries()) {
            if (files.size() == kWorktreeLimit) {
                return std::nullopt;
            }
            const std::string gitdir = filesystem::path_join(folder, entry.name);
            files.push_back(filesystem::path_join(gitdir, "config.worktree"));
        }
    }
}

}  // namespace

ConfigScan scan_config_text(std::string_view text) {
    ConfigScan scan;
    for (std::size_t i = text.find('['); i != std::string_view::npos; i = text.find('[', i + 1)) {
        ConfigReader r{text, i + 1};
        std::string section;
        const HeaderRead read = read_section(r, section);
        if (read == HeaderRead::TooLong) {
            scan.unsure = true;
        }
        if (read != HeaderRead::Section) {
            continue;
        }
        if (section.starts_with(kFilterSection)) {
            scan.filter_names.push_back(section.substr(kFilterSection.size()));
        }
        if (section.starts_with("include")) {
            scan.includes = true;
        }
    }
    return scan;
}

std::optional<FilterDrivers> read_filter_drivers(std::string_view common_dir) {
    std::vector<std::string> files{filesystem::path_join(common_dir, "config"),
                                   filesystem::path_join(common_dir, "config.worktree")};
    auto linked = worktree_config_files(common_dir);
    if (!linked) {
        return std::nullopt;
    }
    files.insert(files.end(), linked->begin(), linked->end());

    FilterDrivers drivers;
    for (const auto& file : files) {
        std::string text;
        const FileRead read = read_config_file(file, text);
        if (read == FileRead::Unsure) {
            return std::nullopt;
        }
        if (read == FileRead::Absent) {
            continue;
        }
        ConfigScan scan = scan_config_text(text);
        if (scan.includes || scan.unsure) {
            return std::nullopt;
        }
        drivers.names.insert(drivers.names.end(), scan.filter_names.begin(),
                             scan.filter_names.end());
    }
    std::sort(drivers.names.begin(), drivers.names.end());
    drivers.names.erase(std::unique(drivers.names.begin(), drivers.names.end()),
                        drivers.names.end());
    return drivers;
}

const std::vector<std::string>& filter_listing_args() {
    static const std::vector<std::string> kArgs{"config", "-z", "--show-scope", "--name-only",
                                                "--list"};
    return kArgs;
}

FilterDrivers parse_filter_listing(std::string_view output) {
    // Pairs of a scope and a key, each ended by a NUL byte.
    std::vector<std::string_view> pieces;
    for (std::size_t pos = 0; pos < output.size();) {
        const std::size_t end = std::min(output.find('\0', pos), output.size());
        pieces.push_back(output.substr(pos, end - pos));
        pos = end + 1;
    }
    FilterDrivers drivers;
    for (std::size_t i = 0; i + 1 < pieces.size(); i += 2) {
        const std::string_view scope = pieces[i];
        std::string_view key = pieces[i + 1];
        if ((scope != "local" && scope != "worktree") || !key.starts_with(kFilterSection)) {
            continue;
        }
        key.remove_prefix(kFilterSection.size());
        const std::size_t dot = key.rfind('.');
        if (dot != std::string_view::npos) {
            drivers.names.emplace_back(key.substr(0, dot));
        }
    }
    std::sort(drivers.names.begin(), drivers.names.end());
    drivers.names.erase(std::unique(drivers.names.begin(), drivers.names.end()),
                        drivers.names.end());
    return drivers;
}

}  // namespace bramvelt::development
