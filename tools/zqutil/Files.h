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
#include <string>

namespace ZQ::RVL::Utils::internal {
class AtomicFile;
}

namespace zqutil {

// An input named by path, or stdin for "-". Fails the command (with the
// reason) when the file cannot be opened.
class Input {
 public:
  explicit Input(const std::string& path);
  std::istream& Stream() { return file_ ? *file_ : std::cin; }
  const std::string& Name() const { return name_; }
  bool IsStdin() const { return !file_; }
  // The size in bytes, when the input is a regular file.
  std::optional<std::uint64_t> Size() const { return size_; }

  // Copies stdin into an unlinked temporary file and reads from that instead,
  // so the size is known (encryption needs it up front) with constant memory.
  void SpoolStdin();

 private:
  std::string name_;
  std::unique_ptr<std::ifstream> file_;
  std::optional<std::uint64_t> size_;
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
