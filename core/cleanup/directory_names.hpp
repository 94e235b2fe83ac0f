#pragma once
// The names of one folder, read completely before anything in it is examined, so that
// removing entries cannot disturb the listing. Kept in one buffer: a walk holds one of
// these per level.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace bramvelt::cleanup {

class DirectoryNames {
  public:
    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    // The i-th name in the order the folder returned it, raw bytes.
    std::string_view operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1] + 1;
        return std::string_view(bytes_).substr(begin, ends_[i] - begin);
    }
    // The same name NUL-terminated, for the calls relative to the folder.
    const char* c_str(std::size_t i) const {
        return bytes_.data() + (i == 0 ? 0 : ends_[i - 1] + 1);
    }

    void add(std::string_view name);

  private:
    std::string bytes_;                // each name followed by a NUL byte
    std::vector<std::uint64_t> ends_;  // where each name's NUL byte sits
};

// Every name of the open folder but "." and "..". The folder is read through a fresh open
// of its own, so the caller's descriptor stays open and positioned as it was. The error
// is the operating system's error number.
std::expected<DirectoryNames, int> list_directory(int dir_fd);

}  // namespace bramvelt::cleanup
