// A progress bar on stderr for long inputs: bytes done, rate and time left.
// Shown only when stderr is a terminal and the input is larger than 8 MiB.
#pragma once

#include <chrono>
#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>

namespace zqutil {

// Ends the line of a bar drawn so far, so that what follows on stderr starts
// a line of its own. Does nothing when no bar is open.
void EndProgressLine();

class Progress {
 public:
  // `total` is the expected number of bytes (0 when unknown: no bar).
  explicit Progress(std::uint64_t total);
  ~Progress();
  void Advance(std::uint64_t bytes);

 private:
  void Draw(bool last);
  bool enabled_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

// An input stream that reads through `source` and reports every byte it
// hands out to `progress`.
class ProgressStream {
 public:
  ProgressStream(std::istream& source, Progress& progress);
  ~ProgressStream();
  std::istream& Stream() { return stream_; }

 private:
  class Buffer;
  std::unique_ptr<Buffer> buffer_;
  std::istream stream_;
};

}  // namespace zqutil
