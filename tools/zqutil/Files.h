// Inputs and outputs of zqutil commands: "-" for stdin/stdout, outputs written
// under a temporary name beside the final path and renamed over it only when
// the command succeeds, so a failure never leaves a half-written file named
// like a finished one.
#pragma once

#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>

namespace ZQ::RVL::Utils::internal {
class AtomicFile;
}

namespace zqutil {

// An input named by path, or stdin for "-". Fails the command (with the
// reason) when the file cannot be opened or is a folder. A path is opened
// once, and what it names is judged on the opened file, so a file swapped in
// between cannot be read as another kind.
class Input {
 public:
  explicit Input(const std::string& path);
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  std::istream& Stream() { return stream_ ? *stream_ : std::cin; }
  const std::string& Name() const { return name_; }
  // True when the input is a regular file named by its path, which can be
  // opened again by name to explain a failure; false for stdin, pipes and
  // devices, whose bytes are gone once read.
  bool IsRegularFile() const { return regular_; }
  // The size in bytes: known for a regular file, and after Spool().
  std::optional<std::uint64_t> Size() const { return size_; }

  // Makes the size known (encryption needs it up front) with constant memory:
  // an input that is not a regular file (stdin, a pipe, a device) is copied
  // into an unnamed temporary file in $TMPDIR, which nothing but this process
  // can reach and which vanishes with it, even on SIGKILL; reading then goes
  // on from there. Fails the command when reading or the copy fails. Returns
  // false when the input holds more than `limit` bytes (a device such as
  // /dev/zero never ends), having copied at most `limit` + one piece.
  bool Spool(std::uint64_t limit);

 private:
  void ReadFrom(int fd);

  std::string name_;
  int fd_ = 0;  // 0 for stdin until Spool(); a descriptor owned by buffer_ otherwise
  bool regular_ = false;
  std::optional<std::uint64_t> size_;
  std::unique_ptr<std::streambuf> buffer_;
  std::unique_ptr<std::istream> stream_;
};

// An output named by path, or stdout for "-". Bytes for a regular file go to
// a temporary file beside it (beside the file a symbolic link leads to; the
// link stays) through the library's atomic replacement; Commit() syncs it,
// gives it the old file's mode and owner (where allowed; a new file gets
// 0666 less the umask), renames it into place and syncs the folder. Without
// Commit() the temporary file is removed. A path that names a device or a
// pipe is written in place.
class Output {
 public:
  explicit Output(const std::string& path);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  std::ostream& Stream() { return file_ ? *file_ : std::cout; }
  const std::string& Name() const { return path_; }
  // Fails the command, naming the file, when a write, the flush, the sync or
  // the rename failed.
  void Commit();

 private:
  std::string path_;
  std::unique_ptr<ZQ::RVL::Utils::internal::AtomicFile> replacement_;
  std::unique_ptr<std::ofstream> file_;
};

// Returns strerror(errno) in words, for messages.
std::string ErrnoText();

}  // namespace zqutil
