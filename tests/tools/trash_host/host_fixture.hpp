#pragma once
// Shared pieces of the Trash host's tests: requests for real entries, and a listing of a
// folder tree that a forked child can hand back to the test as text.

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/trash_host/request.hpp"

namespace bramvelt::trash_host::testing {

inline std::string kind_word(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return "directory";
    if (S_ISLNK(st.st_mode)) return "symlink";
    if (S_ISREG(st.st_mode)) return "file";
    return "special";
}

// The request the program would send for the entry at `path` as it is now.
inline TrashRequest request_for(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {"0", "0", "file", path};
    return {std::to_string(st.st_dev), std::to_string(st.st_ino), kind_word(st), path};
}

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Every entry below `root`, relative and sorted, one a line: folders end in "/", links
// in "@"; a .trashinfo file is followed by its lines other than the date, indented.
inline std::string listing(const std::string& root) {
    namespace fs = std::filesystem;
    std::vector<std::string> lines;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string line = it->path().lexically_relative(root).string();
        if (it->is_symlink()) {
            line += "@";
        } else if (it->is_directory()) {
            line += "/";
        } else if (it->path().extension() == ".trashinfo") {
            std::istringstream info(read_text(it->path().string()));
            for (std::string l; std::getline(info, l);) {
                if (l.rfind("DeletionDate=", 0) != 0) line += "\n  " + l;
            }
        }
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

inline std::string mode_of(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "missing";
    char text[8];
    std::snprintf(text, sizeof text, "%04o", st.st_mode & 07777);
    return text;
}

}  // namespace bramvelt::trash_host::testing
