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
#include "utils/file/AtomicFile.h"

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
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) Fail("cannot write " + path + ": it is a folder");
    if (!S_ISREG(info.st_mode)) {
      // A device or a pipe is written in place; renaming over it would replace it.
      file_ = std::make_unique<std::ofstream>(path, std::ios::binary);
      if (!file_->is_open()) Fail("cannot write " + path + ": " + ErrnoText());
      return;
    }
  }
  replacement_ = std::make_unique<ZQ::RVL::Utils::internal::AtomicFile>();
  if (!replacement_->Begin(path, {std::nullopt, true})) {
    Fail("cannot write " + path + ": " + ErrnoText());
  }
  file_ = std::make_unique<std::ofstream>(replacement_->TemporaryPath(),
                                          std::ios::binary | std::ios::trunc);
  if (!file_->is_open()) Fail("cannot write " + path + ": " + ErrnoText());
}

Output::~Output() = default;

void Output::Commit() {
  if (!file_) {
    std::cout.flush();
    if (std::cout.fail()) Fail("cannot write to stdout");
    return;
  }
  file_->close();
  if (file_->fail()) Fail("cannot write " + path_ + ": the disk may be full");
  if (!replacement_) return;  // a device or a pipe, written in place
  if (!replacement_->Commit()) Fail("cannot write " + path_ + ": " + ErrnoText());
  replacement_.reset();
}

}  // namespace zqutil
