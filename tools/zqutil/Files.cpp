#include "tools/zqutil/Files.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/zqutil/Cli.h"
#include "utils/file/AtomicFile.h"
#include "utils/file/FileCalls.h"
#include "utils/file/FileStream.h"

namespace zqutil {

namespace file = ZQ::RVL::Utils::internal;

std::string ErrnoText() {
  return std::strerror(errno);
}

std::string TemporaryFolder() {
  const char* folder = std::getenv("TMPDIR");
  return folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
}

std::string ReasonText(const char* refusal) {
  return refusal != nullptr ? refusal : ErrnoText();
}

namespace {

// Inputs are read and spooled in pieces of this size.
constexpr std::size_t kPieceSize = 64 * 1024;

void OnInterrupt(int signal) {
  file::RemoveTemporariesNow();
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  // Blocked while this handler runs: delivered, now fatal, when it returns.
  ::raise(signal);
}

}  // namespace

void RemoveTemporariesOnInterrupt() {
  // A file size limit (ulimit -f) fails the write that passes it (EFBIG),
  // which the tool reports and cleans up after, rather than killing it
  // silently with the temporary file left behind.
  ::signal(SIGXFSZ, SIG_IGN);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  ::sigemptyset(&action.sa_mask);
  for (const int signal : signals) ::sigaddset(&action.sa_mask, signal);
  for (const int signal : signals) {
    struct sigaction inherited {};
    // nohup, or a background job of a shell: the signal stays ignored.
    if (::sigaction(signal, nullptr, &inherited) != 0 || inherited.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

Input::Input(const std::string& path, bool regularOnly)
    : name_(path == "-" ? "stdin" : path), named_(path != "-") {
  int fd = STDIN_FILENO;
  if (named_) {
    file::ReadPolicy policy;
    policy.kinds = regularOnly ? file::kRegularFile
                               : file::kRegularFile | file::kFifoKind | file::kCharacterDevice;
    policy.waitForWriter = !regularOnly;
    if (!file::OpenForReading(path, policy, file_)) {
      Fail("cannot read " + path + ": " + ReasonText(file_.refusal));
    }
    fd = file_.fd.Get();
    info_ = file_.info;
    if (S_ISREG(info_.st_mode)) size_ = static_cast<std::uint64_t>(info_.st_size);
  } else if (file::files::Stat(fd, info_) != 0) {
    // Closed: none of our files ever takes its place (the layer's descriptors
    // start at 3), so there is nothing to read.
    Fail("cannot read stdin: " + ErrnoText());
  }
  buffer_ = std::make_unique<file::FileStreamBuf>(fd, kPieceSize);
  stream_.rdbuf(buffer_.get());
}

Input::~Input() = default;

int Input::Error() const {
  return buffer_->Error();
}

mode_t Input::OutputModeLimit() const {
  return S_ISREG(info_.st_mode) ? (info_.st_mode & 0777) | S_IWUSR : 0777;
}

bool Input::Spool(std::uint64_t limit) {
  if (size_) return *size_ <= limit;
  const std::string folder = TemporaryFolder();
  if (!file::OpenUnnamedFile(folder, spool_)) {
    Fail("cannot make a temporary file in " + folder + " to hold " + name_ + ": " + ErrnoText());
  }
  // Through the stream buffer, so that nothing it already holds is lost.
  std::vector<char> piece(kPieceSize);
  std::uint64_t copied = 0;
  for (;;) {
    const auto got = static_cast<std::size_t>(
        buffer_->sgetn(piece.data(), static_cast<std::streamsize>(piece.size())));
    if (got == 0) break;
    copied += got;
    if (copied > limit) return false;
    if (!file::WriteAll(spool_.Get(), std::string_view(piece.data(), got))) {
      Fail("cannot copy " + name_ + " to a temporary file in " + folder + ": " + ErrnoText());
    }
  }
  if (buffer_->Error() != 0) Fail("cannot read " + name_ + ": " + std::strerror(buffer_->Error()));
  if (file::files::Seek(spool_.Get(), 0, SEEK_SET) != 0) {
    Fail("cannot read back the copy of " + name_ + ": " + ErrnoText());
  }
  buffer_ = std::make_unique<file::FileStreamBuf>(spool_.Get(), kPieceSize);
  stream_.rdbuf(buffer_.get());
  stream_.clear();
  file_ = file::OpenedFile{};  // the source is read to its end
  size_ = copied;
  return true;
}

Output::Output(const std::string& path, mode_t modeLimit, const struct stat* input)
    : name_(path == "-" ? "stdout" : path) {
  int fd = STDOUT_FILENO;
  struct stat info {};
  file::OpenedFile own;
  if (path == "-") {
    // Checked now, before any input is read: a closed stdout fails at once.
    if (file::files::Stat(fd, info) != 0) Fail("cannot write " + name_ + ": " + ErrnoText());
    // `>> IN` would feed the command its own output without end.
    if (input != nullptr && S_ISREG(info.st_mode) && S_ISREG(input->st_mode) &&
        info.st_dev == input->st_dev && info.st_ino == input->st_ino) {
      Fail("cannot write " + name_ + ": it is the input file");
    }
  } else if (file::OpenOwnDescriptor(path, own)) {
    // One of this process's own descriptors (/dev/stdout, /dev/stderr,
    // /dev/fd/N): written as it is, so `>> log` appends.
    if (!own.fd.Valid()) Fail("cannot write " + name_ + ": " + ErrnoText());
    if (input != nullptr && own.info.st_dev == input->st_dev && own.info.st_ino == input->st_ino &&
        S_ISREG(own.info.st_mode)) {
      Fail("cannot write " + name_ + ": it is the input file");
    }
    inPlace_ = std::move(own.fd);
    fd = inPlace_.Get();
  } else if (file::files::StatAt(AT_FDCWD, path.c_str(), info, 0) == 0 && !S_ISREG(info.st_mode) &&
             !S_ISDIR(info.st_mode)) {
    // Renaming over a FIFO or a device would replace it: written in place.
    file::InPlacePolicy policy;
    policy.kinds = file::kFifoKind | file::kCharacterDevice;
    policy.waitForReader = true;
    // The FIFO it reads would feed itself; a device both read and written
    // (/dev/null, a terminal) is fine.
    if (input != nullptr && S_ISFIFO(input->st_mode)) policy.input = input;
    policy.followLinks = true;
    file::OpenedFile opened;
    if (!file::OpenForWritingInPlace(path, policy, opened)) {
      Fail("cannot write " + path + ": " + ReasonText(opened.refusal));
    }
    inPlace_ = std::move(opened.fd);
    fd = inPlace_.Get();
  } else {
    file::ReplaceOptions options;
    options.modeLimit = modeLimit;
    options.keepOwner = true;
    options.followOwnLinks = true;
    options.requireWritable = true;
    options.refuseOtherNames = true;
    replacement_ = std::make_unique<file::AtomicFile>();
    if (!replacement_->Begin(path, options)) {
      const bool otherNames = errno == EMLINK;
      Fail("cannot write " + path + ": " + ReasonText(replacement_->Refusal()) +
           (otherNames ? "; remove it first to write a new file there" : ""));
    }
    fd = replacement_->Descriptor();
  }
  terminal_ = !replacement_ && ::isatty(fd) == 1;
  buffer_ = std::make_unique<file::FileStreamBuf>(fd, kPieceSize);
  stream_.rdbuf(buffer_.get());
}

void Output::RefuseBinaryToTerminal(const std::string& what, bool forced) const {
  if (terminal_ && !forced) {
    UsageError(name_ + " is a terminal: " + what +
               " is binary (redirect stdout, give a file, or --force to write it there)");
  }
}

Output::~Output() = default;

bool Output::Failed() const {
  return buffer_->Error() != 0 || stream_.bad();
}

void Output::FailWriting() const {
  const int error = buffer_->Error();
  Fail("cannot write " + name_ + ": " + (error != 0 ? std::strerror(error) : "the stream failed"));
}

void Output::Commit() {
  if (!buffer_->Flush() || stream_.bad()) FailWriting();
  if (replacement_) {
    if (!replacement_->Commit()) Fail("cannot write " + name_ + ": " + ErrnoText());
  } else if (inPlace_.Valid() && !inPlace_.Close()) {
    // A device or a file system that reports a failed write only at close.
    Fail("cannot write " + name_ + ": " + ErrnoText());
  }
}

}  // namespace zqutil
