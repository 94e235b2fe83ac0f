#include "core/development/classify.hpp"

#include <array>

#include "core/development/paths.hpp"
#include "core/filesystem/byte_path.hpp"
#include "platform/text.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::development {
namespace {

using platform::FollowFinalLink;

bool regular_file_at(const std::string& path) {
    const auto st = platform::status_of_path(path, FollowFinalLink::yes);
    return st && st->is_regular();
}

bool directory_at(const std::string& path) {
    const auto st = platform::status_of_path(path, FollowFinalLink::yes);
    return st && st->is_directory();
}

ArtifactClass make(CandidateKind kind, std::string_view tool) {
    return ArtifactClass{kind, std::string(tool)};
}

// The parent's own final name, when it is a normal UTF-8 name.
std::optional<std::string_view> name_of(const std::optional<std::string>& path) {
    if (!path) {
        return std::nullopt;
    }
    auto name = final_name(*path);
    if (!name || !platform::is_valid_utf8(*name)) {
        return std::nullopt;
    }
    return name;
}

bool any_of(std::string_view name, std::initializer_list<std::string_view> names) {
    for (const auto n : names) {
        if (n == name) {
            return true;
        }
    }
    return false;
}

}  // namespace

namespace {

// The rules after the folder's own status and name were checked: markers inside the
// folder and beside it, then the name table. `inside` and `beside` test one marker.
template <typename Inside, typename Beside>
std::optional<ArtifactClass> classify_by_markers(std::string_view name,
                                                 const std::optional<std::string>& parent,
                                                 const Inside& inside, const Beside& beside) {
    using enum CandidateKind;
    // Only some rules ask for the manifest; the others need not look for it.
    std::optional<bool> manifest_found;
    const auto manifest = [&] {
        if (!manifest_found) manifest_found = beside("package.json");
        return *manifest_found;
    };

    if (inside(".rustc_info.json")) {
        return make(Build, "Cargo");
    }
    if (inside("CMakeCache.txt") || inside("build.ninja")) {
        return make(Build, "CMake/Ninja");
    }
    const auto parent_name = name_of(parent);
    if (any_of(name, {"uv", "pip", "ccache", "sccache", "go-build"})) {
        if (parent_name == ".cache") return make(Cache, "Compiler/package cache");
        return std::nullopt;
    }
    if (any_of(name, {"out", "dist"})) {
        if (manifest()) return make(Build, kToolJavaScriptBuild);
        return std::nullopt;
    }
    if (name == "build") {
        if (manifest()) return make(Build, kToolJavaScriptBuild);
        if (beside("build.gradle") || beside("build.gradle.kts")) return make(Build, "Gradle");
        return std::nullopt;
    }
    if (any_of(name, {".next", ".nuxt", ".svelte-kit"})) {
        if (manifest()) return make(Build, "JavaScript framework");
        return std::nullopt;
    }
    if (any_of(name, {".vite", ".turbo", ".parcel-cache"})) {
        if (manifest()) return make(Cache, "JavaScript build cache");
        return std::nullopt;
    }
    if (name == "cache") {
        if (parent_name == "install" && name_of(filesystem::path_parent(*parent)) == ".bun") {
            return make(Dependencies, "Bun package cache");
        }
        return std::nullopt;
    }
    if (name == "target") {
        if (beside("Cargo.toml")) return make(Build, "Cargo");
        return std::nullopt;
    }
    if (name == ".build") {
        if (beside("Package.swift")) return make(Build, "SwiftPM");
        return std::nullopt;
    }
    if (name == ".gradle") {
        if (beside("build.gradle") || beside("build.gradle.kts")) return make(Cache, "Gradle");
        return std::nullopt;
    }
    if (name == "__pycache__") {
        return make(Cache, "Python bytecode");
    }
    if (any_of(name, {".mypy_cache", ".ruff_cache", ".pytest_cache"})) {
        if (beside("pyproject.toml") || beside("setup.py") || inside("CACHEDIR.TAG")) {
            return make(Cache, "Python tools");
        }
        return std::nullopt;
    }
    if (name == "DerivedData") {
        if (parent_name == "Xcode") return make(Build, "Xcode");
        return std::nullopt;
    }
    if (name == "node_modules") {
        if (manifest()) return make(Dependencies, kToolNodePackages);
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::optional<ArtifactClass> classify_artifact(const std::string& path) {
    const auto st = platform::status_of_path(path, FollowFinalLink::no);
    if (!st || !st->is_directory()) {
        return std::nullopt;
    }
    const auto name_opt = final_name(path);
    if (!name_opt || !platform::is_valid_utf8(*name_opt)) {
        return std::nullopt;
    }
    const auto parent = filesystem::path_parent(path);
    if (!parent) {
        return std::nullopt;
    }
    return classify_by_markers(
        *name_opt, parent,
        [&](std::string_view marker) {
            return regular_file_at(filesystem::path_join(path, marker));
        },
        [&](std::string_view marker) {
            return regular_file_at(filesystem::path_join(*parent, marker));
        });
}

std::optional<ArtifactClass> classify_artifact_at(int parent_fd, std::string_view name,
                                                  const std::string& path,
                                                  const platform::EntryStatus& status) {
    if (!status.is_directory() || !platform::is_valid_utf8(name)) {
        return std::nullopt;
    }
    const auto parent = filesystem::path_parent(path);
    if (!parent) {
        return std::nullopt;
    }
    const auto regular_at = [&](const std::string& rel) {
        const auto st = platform::status_at(parent_fd, rel.c_str(), FollowFinalLink::yes);
        return st && st->is_regular();
    };
    return classify_by_markers(
        name, parent,
        [&](std::string_view marker) { return regular_at(filesystem::path_join(name, marker)); },
        [&](std::string_view marker) { return regular_at(std::string(marker)); });
}

bool is_temp_artifact(std::string_view path) {
    bool located = false;
    std::optional<std::string> current{std::string(path)};
    while (current) {
        if (filesystem::paths_equal(*current, "/tmp") ||
            filesystem::paths_equal(*current, "/var/tmp") ||
            filesystem::paths_equal(*current, "/private/tmp")) {
            located = true;
            break;
        }
        current = filesystem::path_parent(*current);
    }
    if (!located) {
        return false;
    }
    const auto raw = final_name(path);
    const std::string name = platform::lower_case(platform::to_utf8_lossy(raw.value_or("")));
    static constexpr std::array<std::string_view, 10> kPrefixes{
        "kas", "fev", "orn", "bra", "agent", "codex", "claude", "build", "cargo", "esbuild"};
    static constexpr std::array<std::string_view, 6> kSuffixes{".log",   ".tgz",  ".tar.gz",
                                                               ".patch", ".json", ".map"};
    bool prefix = false;
    for (const auto p : kPrefixes) prefix = prefix || name.starts_with(p);
    bool suffix = false;
    for (const auto s : kSuffixes) suffix = suffix || name.ends_with(s);
    return prefix && suffix;
}

bool is_skipped_folder_name(std::string_view name) {
    return any_of(name, {"sys", "dev", "usr", "bin", ".git", "proc", "sbin", "Trash", "System",
                         ".Trash", ".Trashes", "node_modules", "Applications"});
}

unsigned folder_name_rank(std::string_view path) {
    const auto name = final_name(path);
    return name ? folder_name_rank_of_name(*name) : 3;
}

unsigned folder_name_rank_of_name(std::string_view name) {
    // Every ranked name is ASCII, so a name that is not UTF-8 falls through to 3.
    if (any_of(name, {"tmp", "worktrees", ".worktrees", "kaskel-repos"})) return 0;
    if (any_of(name, {"src", "source", ".codex", ".claude", "projects"})) return 1;
    if (any_of(name, {".cache", "Library"})) return 2;
    return 3;
}

bool is_git_dir(const std::string& path) {
    return regular_file_at(filesystem::path_join(path, "HEAD")) &&
           regular_file_at(filesystem::path_join(path, "config")) &&
           directory_at(filesystem::path_join(path, "objects"));
}

bool is_git_dir_at(int dirfd, std::string_view rel) {
    const auto at = [&](std::string_view name) {
        const std::string path = rel.empty() ? std::string(name) : filesystem::path_join(rel, name);
        return platform::status_at(dirfd, path.c_str(), FollowFinalLink::yes);
    };
    const auto head = at("HEAD");
    if (!head || !head->is_regular()) return false;
    const auto config = at("config");
    if (!config || !config->is_regular()) return false;
    const auto objects = at("objects");
    return objects && objects->is_directory();
}

bool is_not_bytecode_ext(std::string_view extension) {
    return extension != "pyc" && extension != "pyo";
}

}  // namespace bramvelt::development
