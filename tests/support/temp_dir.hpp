#pragma once
// A fresh folder under the system temporary folder, removed with everything in it when
// the fixture goes away. Tests build their real folder trees inside one.

#include <string>
#include <string_view>

namespace bramvelt::testing {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() joined with a relative path.
    std::string operator/(std::string_view relative) const;

    // Creates the file (and its parent folders) with the given contents; returns its path.
    std::string write_file(std::string_view relative, std::string_view contents = "") const;
    // Creates the folder and its parents; returns its path.
    std::string make_dir(std::string_view relative) const;

  private:
    std::string path_;
};

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const char* value);  // nullptr unsets
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

}  // namespace bramvelt::testing
