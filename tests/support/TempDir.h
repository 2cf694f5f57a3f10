// A temporary folder that lives as long as the test that made it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace zqtest {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zqtest-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Writes `bytes` as a file some program finished an hour ago: the store sets
// a file that does not decode aside only once nothing has written it for a
// while (a writer may be half-way).
inline void WriteSettledFile(const std::string& path, const std::string& bytes) {
  WriteFile(path, bytes);
  struct timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

}  // namespace zqtest
