// A fresh folder of its own under the system's temporary folder, removed with
// all it holds by the destructor.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace tavro::test {

class TempDir {
public:
  explicit TempDir(const std::string& prefix = "tavro-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot make a temporary folder");
    }
    Dir = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(Dir, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return Dir; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return Dir / name; }

private:
  std::filesystem::path Dir;
};

}  // namespace tavro::test
