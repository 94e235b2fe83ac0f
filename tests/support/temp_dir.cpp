#include "support/temp_dir.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace bramvelt::testing {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "bramvelt-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    // Resolve links (such as a linked /tmp) so paths compare equal to what scans report.
    path_ = std::filesystem::canonical(tmpl).string();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Give back write permission that tests may have taken away, so removal succeeds.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        }
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::operator/(std::string_view relative) const {
    return path_ + "/" + std::string(relative);
}

std::string TempDir::write_file(std::string_view relative, std::string_view contents) const {
    const std::string full = *this / relative;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream out(full, std::ios::binary);
    out << contents;
    return full;
}

std::string TempDir::make_dir(std::string_view relative) const {
    const std::string full = *this / relative;
    std::filesystem::create_directories(full);
    return full;
}

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        had_ = true;
        old_ = old;
    }
    if (value != nullptr) {
        ::setenv(name_.c_str(), value, 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (had_) {
        ::setenv(name_.c_str(), old_.c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

}  // namespace bramvelt::testing
