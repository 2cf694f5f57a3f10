#include "tools/zqutil/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include <ext/stdio_filebuf.h>

#include "tools/zqutil/Cli.h"
#include "utils/file/AtomicFile.h"

namespace zqutil {

namespace fs = std::filesystem;

std::string ErrnoText() {
  return std::strerror(errno);
}

namespace {

// Inputs are read and spooled in pieces of this size.
constexpr std::size_t kPieceSize = 64 * 1024;

// Reads with ::read, retrying an interrupted call; -1 with errno on failure.
ssize_t ReadSome(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool WriteAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

// Opens a file in `folder` that has no name: O_TMPFILE where the file system
// offers it, else a file made with mkstemp and unlinked at once. -1 with errno
// on failure.
int OpenUnnamedFile(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  std::string pattern = folder + "/zqutil-spool-XXXXXX";
  const int named = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (named >= 0) ::unlink(pattern.c_str());
  return named;
}

}  // namespace

Input::Input(const std::string& path) : name_(path == "-" ? "stdin" : path) {
  if (path == "-") return;
  // A FIFO's open waits for its writer, as a reader of a pipe expects (opened
  // without blocking, a read before the writer came would be its end).
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("cannot read " + path + ": " + ErrnoText());
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    const std::string reason = S_ISDIR(info.st_mode) ? "it is a folder" : ErrnoText();
    ::close(fd);
    Fail("cannot read " + path + ": " + reason);
  }
  ReadFrom(fd);
  fd_ = fd;
  regular_ = S_ISREG(info.st_mode);
  if (regular_) size_ = static_cast<std::uint64_t>(info.st_size);
}

void Input::ReadFrom(int fd) {
  // The stream buffer owns the descriptor and closes it.
  buffer_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::in | std::ios::binary,
                                                             kPieceSize);
  stream_ = std::make_unique<std::istream>(buffer_.get());
}

bool Input::Spool(std::uint64_t limit) {
  if (size_) return *size_ <= limit;
  std::error_code error;
  const fs::path folder = fs::temp_directory_path(error);
  const int spool = OpenUnnamedFile(error ? std::string("/tmp") : folder.string());
  if (spool < 0) Fail("cannot make a temporary file to hold " + name_ + ": " + ErrnoText());
  // From here on the stream buffer owns the spool, so every Fail() closes it.
  const int source = fd_;
  std::unique_ptr<std::streambuf> sourceBuffer = std::move(buffer_);
  std::unique_ptr<std::istream> sourceStream = std::move(stream_);
  ReadFrom(spool);
  std::vector<char> piece(kPieceSize);
  std::uint64_t copied = 0;
  for (;;) {
    const ssize_t got = ReadSome(source, piece.data(), piece.size());
    if (got < 0) Fail("cannot read " + name_ + ": " + ErrnoText());
    if (got == 0) break;
    copied += static_cast<std::uint64_t>(got);
    if (copied > limit) return false;
    if (!WriteAll(spool, piece.data(), static_cast<std::size_t>(got))) {
      Fail("cannot copy " + name_ + " to a temporary file: " + ErrnoText());
    }
  }
  if (::lseek(spool, 0, SEEK_SET) != 0) Fail("cannot read back the copy of " + name_);
  fd_ = spool;
  size_ = copied;
  return true;
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
