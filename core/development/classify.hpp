#pragma once
// Recognising development clutter by folder and file names and by marker files around
// them, never by reading contents. Every file-system failure counts as "no".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/development/types.hpp"
#include "platform/file_status.hpp"

namespace bramvelt::development {

// The kind (Build, Cache or Dependencies) and tool label of a recognised folder.
struct ArtifactClass {
    CandidateKind kind = CandidateKind::Build;
    std::string tool;
    bool operator==(const ArtifactClass&) const = default;
};

// The tool labels whose finds need more than their name and manifest to be regenerable.
inline constexpr std::string_view kToolJavaScriptBuild = "JavaScript build";
inline constexpr std::string_view kToolNodePackages = "Node packages";
inline constexpr std::string_view kScratchTool = "Agent scratch file";
// Scratch files smaller than this many 512-byte blocks are not reported.
inline constexpr std::uint64_t kScratchMinBlocks = 2048;

std::optional<ArtifactClass> classify_artifact(const std::string& path);
// The same for the entry `name` of the open folder `parent_fd`, whose
// path is `path` and whose no-follow status the caller already holds.
std::optional<ArtifactClass> classify_artifact_at(int parent_fd, std::string_view name,
                                                  const std::string& path,
                                                  const platform::EntryStatus& status);

// The file lies in (or below) /tmp, /var/tmp or /private/tmp and its lower-cased name
// has one of the scratch prefixes and suffixes.
bool is_temp_artifact(std::string_view path);

// Folder names the search never enters unless they are a recognised artifact.
bool is_skipped_folder_name(std::string_view name);

// 0 to 3: lower ranks are visited first.
unsigned folder_name_rank(std::string_view path);
// The rank of a path whose final component is the normal name `name`.
unsigned folder_name_rank_of_name(std::string_view name);

// HEAD and config are regular files and objects is a folder (links followed).
bool is_git_dir(const std::string& path);
// The same for the folder `rel` below the open folder `dirfd` ("" for that folder).
bool is_git_dir_at(int dirfd, std::string_view rel);

// False exactly for "pyc" and "pyo".
bool is_not_bytecode_ext(std::string_view extension);

}  // namespace bramvelt::development
