// Inputs and outputs of zqutil commands, all through the file layer
// (utils/file/File.h states its policy): "-" is stdin or stdout; an output
// that is a regular file is replaced atomically once the command succeeds, so
// a failure never leaves a half-written file named like a finished one; a
// FIFO, terminal or device is written in place, and a path naming the
// process's own stdout is written to it as "-" is.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "utils/file/File.h"

namespace ZQ::RVL::Utils::internal {
class AtomicFile;
class FileStreamBuf;
}  // namespace ZQ::RVL::Utils::internal

namespace zqutil {

// An input named by path, or stdin for "-". Fails the command (with the
// reason) when stdin is closed, or the file cannot be opened or is not a
// regular file, a FIFO or a character device. A path is opened once, and what
// it names is judged on the opened file, so a file swapped in between cannot
// be read as another kind. A FIFO waits for its writer, as `cat` does.
class Input {
 public:
  // `regularOnly`: a path that is not a regular file is refused at once (a
  // FIFO is never waited on); otherwise a FIFO waits for its writer.
  explicit Input(const std::string& path, bool regularOnly = false);
  ~Input();
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // Never throws; a failed read ends the stream, and Error() tells why.
  std::istream& Stream() { return stream_; }
  const std::string& Name() const { return name_; }
  // The errno of the first failed read, 0 when none failed.
  int Error() const;
  // True when the input is a regular file named by its path, which can be
  // opened again by name to explain a failure; false for stdin, pipes and
  // devices, whose bytes are gone once read.
  bool IsRegularFile() const { return named_ && S_ISREG(info_.st_mode); }
  // What fstat said of the input when it was opened (stdin too).
  const struct stat& Info() const { return info_; }
  // The most an output made from this input may allow: the input's
  // permission bits and the owner's write bit when it is a regular file (a
  // private container never yields a readable plain file), else 0777.
  mode_t OutputModeLimit() const;
  // The size in bytes: known for a regular file named by path, and after Spool().
  std::optional<std::uint64_t> Size() const { return size_; }

  // Makes the size known (encryption needs it up front) with constant memory:
  // an input that is not a regular file named by path (stdin, a pipe, a
  // device) is copied into an unnamed file in TemporaryFolder(), which
  // nothing but this process can reach and which vanishes with it, even on
  // SIGKILL; reading then goes on from there. Fails the command when reading
  // or the copy fails. Returns false when the input holds more than `limit`
  // bytes (a device such as /dev/zero never ends), having copied at most
  // `limit` + one piece.
  bool Spool(std::uint64_t limit);

 private:
  std::string name_;
  bool named_ = false;
  ZQ::RVL::Utils::internal::OpenedFile file_;  // no descriptor for stdin
  ZQ::RVL::Utils::internal::FileDescriptor spool_;
  struct stat info_ {};
  std::optional<std::uint64_t> size_;
  std::unique_ptr<ZQ::RVL::Utils::internal::FileStreamBuf> buffer_;
  std::istream stream_{nullptr};
};

// An output named by path, or stdout for "-". What is at the path decides how
// it is written:
// - a path naming the file descriptor 1 has open (/dev/stdout, /dev/fd/1, the
//   file stdout was redirected to) is written to descriptor 1, as "-" is, so
//   `>> log` appends;
// - an existing FIFO, terminal or character device (also through a link, as
//   /dev/stderr) is written in place; a FIFO waits for its reader;
// - anything else is a regular file, replaced through the layer's AtomicFile:
//   the bytes go to a temporary file beside it (unnamed where the file system
//   allows), which Commit() syncs and puts in place. A link of this user or
//   root is followed (its target replaced, the link kept), another user's is
//   refused; so is an existing file this process may not write, one with
//   other names (hard links), and another user's file in a shared sticky
//   folder. A replaced file keeps its mode and owner, narrowed to
//   `modeLimit`; a new one gets 0666 less the umask, narrowed the same way.
// `input`, when given, is what the command reads: a FIFO it names is refused. Fails the
// command, naming the path and the reason, when the output cannot be opened.
class Output {
 public:
  explicit Output(const std::string& path, mode_t modeLimit = 0777,
                  const struct stat* input = nullptr);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Never throws; a failed write makes the stream bad, and Failed() true.
  std::ostream& Stream() { return stream_; }
  const std::string& Name() const { return name_; }
  // True when a write failed.
  bool Failed() const;
  // Fails the command with "cannot write <name>: <why the write failed>".
  [[noreturn]] void FailWriting() const;
  // Fails the command, naming the file, when a write, the flush, the sync,
  // the rename or the close failed.
  void Commit();
  // Refuses, as a usage error, to write `what` (binary bytes) when the
  // output is a terminal (stdout, /dev/stdout, /dev/tty, a pty), unless
  // `forced`: the terminal would take some bytes for controls, and the
  // output is lost anyway.
  void RefuseBinaryToTerminal(const std::string& what, bool forced) const;

 private:
  std::string name_;
  std::unique_ptr<ZQ::RVL::Utils::internal::AtomicFile> replacement_;
  ZQ::RVL::Utils::internal::FileDescriptor inPlace_;
  bool terminal_ = false;
  // Declared last: destroyed (and flushed) before the files they write.
  std::unique_ptr<ZQ::RVL::Utils::internal::FileStreamBuf> buffer_;
  std::ostream stream_{nullptr};
};

// Returns the folder for temporary files: $TMPDIR, else /tmp.
std::string TemporaryFolder();

// Returns strerror(errno) in words, for messages.
std::string ErrnoText();

// Returns the words of a refusal of the file layer's policy, or else
// strerror(errno).
std::string ReasonText(const char* refusal);

// Makes SIGINT, SIGTERM and SIGHUP remove the named temporary files of
// outputs not yet committed before the process dies of them (the signal then
// ends it as it would have). A signal this process inherited as ignored stays
// ignored. SIGXFSZ is ignored, so that a file size limit fails a write
// (EFBIG, "File too large") as any other failure does. For main(), once,
// before any output is opened.
void RemoveTemporariesOnInterrupt();

}  // namespace zqutil
