#include "src/cli/dev_options.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "platform/utf8.hpp"

namespace bramvelt::cli {
namespace {

constexpr std::string_view kAgeError = "--older-than takes an age such as 30d, 8w, 6mo or 1y";
constexpr std::string_view kSizeError = "--min-size takes a size such as 500M or 1G";

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Decimal digits only, no overflow.
std::optional<std::uint64_t> parse_decimal(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (!is_digit(c)) return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::size_t> parse_top(std::string_view value) {
    if (value.starts_with('+')) value.remove_prefix(1);
    const auto parsed = parse_decimal(value);
    if (!parsed || *parsed > std::numeric_limits<std::size_t>::max()) return std::nullopt;
    return static_cast<std::size_t>(*parsed);
}

std::optional<std::uint64_t> parse_age_days(std::string_view value) {
    const std::string text = ascii_lower(platform::trim_white_space(value));
    std::size_t digits = 0;
    while (digits < text.size() && is_digit(text[digits])) ++digits;
    const auto number = parse_decimal(std::string_view(text).substr(0, digits));
    if (!number) return std::nullopt;
    const std::string_view unit = std::string_view(text).substr(digits);
    std::uint64_t factor;
    if (unit.empty() || unit == "d") {
        factor = 1;
    } else if (unit == "w") {
        factor = 7;
    } else if (unit == "m" || unit == "mo") {
        factor = 30;
    } else if (unit == "y") {
        factor = 365;
    } else {
        return std::nullopt;
    }
    if (*number > std::numeric_limits<std::uint64_t>::max() / factor) return std::nullopt;
    return *number * factor;
}

std::optional<std::uint64_t> parse_size_bytes(std::string_view value) {
    const std::string_view text = platform::trim_white_space(value);
    std::size_t end = 0;
    std::size_t digit_count = 0;
    std::size_t dots = 0;
    while (end < text.size() && (is_digit(text[end]) || text[end] == '.')) {
        if (text[end] == '.') {
            ++dots;
        } else {
            ++digit_count;
        }
        ++end;
    }
    if (digit_count == 0 || dots > 1) return std::nullopt;
    const std::string number_text(text.substr(0, end));
    char* parsed_end = nullptr;
    const double number = std::strtod(number_text.c_str(), &parsed_end);
    if (parsed_end != number_text.c_str() + number_text.size() || !std::isfinite(number) ||
        number < 0) {
        return std::nullopt;
    }
    const std::string unit = ascii_lower(platform::trim_white_space(text.substr(end)));
    double factor;
    if (unit.empty() || unit == "b") {
        factor = 1.0;
    } else if (unit == "k" || unit == "kb" || unit == "kib") {
        factor = 1024.0;
    } else if (unit == "m" || unit == "mb" || unit == "mib") {
        factor = 1048576.0;
    } else if (unit == "g" || unit == "gb" || unit == "gib") {
        factor = 1073741824.0;
    } else if (unit == "t" || unit == "tb" || unit == "tib") {
        factor = 1099511627776.0;
    } else {
        return std::nullopt;
    }
    const double bytes = number * factor;
    // 2^64 is the first double past the largest 64-bit value.
    if (bytes >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(bytes);
}

// Calls `each` with every comma-separated item, trimmed; stops at the first error.
template <typename Each>
std::optional<std::string> for_each_item(std::string_view list, Each each) {
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = list.find(',', start);
        const std::string_view item = platform::trim_white_space(
            list.substr(start, comma == std::string_view::npos ? list.npos : comma - start));
        if (auto error = each(item)) return error;
        if (comma == std::string_view::npos) return std::nullopt;
        start = comma + 1;
    }
}

std::optional<std::string> add_categories(std::string_view list, bool clean,
                                          std::vector<DevCategory>& out) {
    return for_each_item(list, [&](std::string_view word) -> std::optional<std::string> {
        if (word == "rebuildable" || word == "rebuild") {
            out.push_back(DevCategory::Rebuildable);
        } else if (word == "worktree" || word == "worktrees") {
            out.push_back(DevCategory::Worktree);
        } else if (word == "keep" && !clean) {
            out.push_back(DevCategory::Keep);
        } else if (word == "all") {
            out.push_back(DevCategory::Rebuildable);
            out.push_back(DevCategory::Worktree);
            if (!clean) out.push_back(DevCategory::Keep);
        } else {
            return fmt::format(
                "--category must be {}, not {}",
                clean ? "rebuildable, worktree or all" : "rebuildable, worktree, keep or all",
                word);
        }
        return std::nullopt;
    });
}

std::optional<std::string> add_kinds(std::string_view list,
                                     std::vector<development::CandidateKind>& out) {
    return for_each_item(list, [&](std::string_view word) -> std::optional<std::string> {
        if (const auto kind = development::kind_from_word(word)) {
            out.push_back(*kind);
            return std::nullopt;
        }
        return fmt::format(
            "--kind must be build, cache, dependencies, worktree, repository or temporary, not {}",
            word);
    });
}

std::optional<DevSortOrder> parse_sort(std::string_view value) {
    if (value == "largest" || value == "size") return DevSortOrder::Largest;
    if (value == "oldest" || value == "age") return DevSortOrder::Oldest;
    if (value == "access" || value == "accessed") return DevSortOrder::Access;
    return std::nullopt;
}

bool takes_value(std::string_view name) {
    return name == "--top" || name == "--category" || name == "--kind" || name == "--older-than" ||
           name == "--min-size" || name == "--sort";
}

}  // namespace

std::expected<DevCommandOptions, std::string> parse_dev_options(std::span<const std::string> args,
                                                                DevVerb verb) {
    const bool clean = verb == DevVerb::Clean;
    const std::string_view command = clean ? "clean" : "dev";
    DevCommandOptions options;
    bool folders_only = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (folders_only || arg.empty() || arg == "-" || !arg.starts_with('-')) {
            options.folders.push_back(arg);
            continue;
        }
        if (arg == "--") {
            folders_only = true;
            continue;
        }
        const std::size_t eq = arg.find('=');
        const std::string_view name = std::string_view(arg).substr(0, eq);
        const auto unknown = [&] {
            return std::unexpected(fmt::format("unknown {} option: {}", command, arg));
        };

        if (takes_value(name)) {
            std::string_view value;
            if (eq != std::string::npos) {
                value = std::string_view(arg).substr(eq + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return std::unexpected(fmt::format("{} requires a value", name));
            }
            if (name == "--top") {
                const auto top = parse_top(value);
                if (!top) return std::unexpected("--top requires a nonnegative integer");
                options.top = *top;
            } else if (name == "--category") {
                if (auto error = add_categories(value, clean, options.categories)) {
                    return std::unexpected(std::move(*error));
                }
            } else if (name == "--kind") {
                if (auto error = add_kinds(value, options.kinds)) {
                    return std::unexpected(std::move(*error));
                }
            } else if (name == "--older-than") {
                const auto days = parse_age_days(value);
                if (!days) return std::unexpected(std::string(kAgeError));
                options.older_than_days = *days;
            } else if (name == "--min-size") {
                const auto bytes = parse_size_bytes(value);
                if (!bytes) return std::unexpected(std::string(kSizeError));
                options.min_size = *bytes;
            } else {
                const auto sort = parse_sort(value);
                if (!sort) {
                    return std::unexpected(
                        fmt::format("--sort must be largest, oldest or access, not {}", value));
                }
                options.sort = *sort;
            }
            continue;
        }

        if (eq != std::string::npos) return unknown();
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--verify-remotes") {
            options.verify_remotes = true;
        } else if (!clean && (arg == "-i" || arg == "--interactive")) {
            options.interactive = true;
        } else if (clean && (arg == "-y" || arg == "--yes")) {
            options.yes = true;
        } else if (clean && arg == "--accept-caution") {
            options.accept_caution = true;
        } else if (clean && (arg == "--trash" || arg == "--delete")) {
            const CleanAction action = arg == "--trash" ? CleanAction::Trash : CleanAction::Delete;
            if (options.action != CleanAction::Unset && options.action != action) {
                return std::unexpected("choose --trash or --delete once");
            }
            options.action = action;
        } else {
            return unknown();
        }
    }
    if (options.folders.size() > kMaxCommandFolders) {
        return std::unexpected("choose at most 32 folders");
    }
    if (clean && options.categories.empty()) {
        options.categories.push_back(DevCategory::Rebuildable);
    }
    return options;
}

}  // namespace bramvelt::cli
