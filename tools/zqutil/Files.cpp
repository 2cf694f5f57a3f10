#include "tools/zqutil/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "tools/zqutil/Cli.h"

namespace zqutil {

namespace fs = std::filesystem;

std::string ErrnoText() {
  return std::strerror(errno);
}

Input::Input(const std::string& path) : name_(path == "-" ? "stdin" : path) {
  if (path == "-") return;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) Fail("cannot read " + path + ": " + ErrnoText());
  if (S_ISDIR(info.st_mode)) Fail("cannot read " + path + ": it is a folder");
  file_ = std::make_unique<std::ifstream>(path, std::ios::binary);
  if (!file_->is_open()) Fail("cannot read " + path + ": " + ErrnoText());
  if (S_ISREG(info.st_mode)) size_ = static_cast<std::uint64_t>(info.st_size);
}

void Input::SpoolStdin() {
  if (file_) return;
  std::string pattern = (fs::temp_directory_path() / "zqutil-stdin-XXXXXX").string();
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) Fail("cannot make a temporary file for stdin: " + ErrnoText());
  ::close(fd);
  {
    std::ofstream spool(pattern, std::ios::binary);
    spool << std::cin.rdbuf();
    spool.close();
    if (spool.fail() || std::cin.bad()) {
      std::remove(pattern.c_str());
      Fail("cannot copy stdin to a temporary file");
    }
  }
  file_ = std::make_unique<std::ifstream>(pattern, std::ios::binary);
  std::remove(pattern.c_str());  // stays readable through the open stream
  std::error_code ignored;
  file_->seekg(0, std::ios::end);
  size_ = static_cast<std::uint64_t>(file_->tellg());
  file_->seekg(0);
}

Output::Output(const std::string& path) : path_(path == "-" ? "stdout" : path) {
  if (path == "-") return;
  const fs::path target(path);
  std::error_code error;
  const fs::file_status status = fs::status(target, error);
  if (fs::is_directory(status)) Fail("cannot write " + path + ": it is a folder");
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    // A device or a pipe is written in place; renaming over it would replace it.
    file_ = std::make_unique<std::ofstream>(path, std::ios::binary);
    if (!file_->is_open()) Fail("cannot write " + path + ": " + ErrnoText());
    return;
  }
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string pattern = (folder / ("." + target.filename().string() + ".zqutil-XXXXXX")).string();
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) Fail("cannot write " + path + ": " + ErrnoText());
  // mkstemp makes the file 0600; give it the mode a new file would get.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);
  temporary_ = pattern;
  file_ = std::make_unique<std::ofstream>(temporary_, std::ios::binary | std::ios::trunc);
  if (!file_->is_open()) Fail("cannot write " + path + ": " + ErrnoText());
}

Output::~Output() {
  if (!temporary_.empty()) std::remove(temporary_.c_str());
}

void Output::Commit() {
  if (!file_) {
    std::cout.flush();
    if (std::cout.fail()) Fail("cannot write to stdout");
    return;
  }
  file_->close();
  if (file_->fail()) Fail("cannot write " + path_ + ": the disk may be full");
  if (temporary_.empty()) return;  // a device or a pipe, written in place
  const int fd = ::open(temporary_.c_str(), O_RDONLY);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!synced) Fail("cannot write " + path_ + ": " + ErrnoText());
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
    Fail("cannot write " + path_ + ": " + ErrnoText());
  }
  temporary_.clear();
}

}  // namespace zqutil
