#include "tools/zqutil/Progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace zqutil {

namespace {

constexpr std::uint64_t kMinimumForBar = 8u << 20;

// Whether stderr's last line is a bar that no line feed has ended yet.
bool barLineOpen = false;
constexpr int kBarWidth = 30;

std::string Clock(double seconds) {
  const auto s = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

}  // namespace

Progress::Progress(std::uint64_t total)
    : enabled_(total > kMinimumForBar && ::isatty(STDERR_FILENO) == 1),
      total_(total),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {}

void EndProgressLine() {
  if (!barLineOpen) return;
  std::fputc('\n', stderr);
  barLineOpen = false;
}

// A command that fails leaves the bar where it stopped (its report ended the
// line); one that got through draws it full.
Progress::~Progress() {
  if (enabled_ && done_ > 0 && std::uncaught_exceptions() == 0) Draw(true);
  EndProgressLine();
}

void Progress::Advance(std::uint64_t bytes) {
  done_ += bytes;
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastDraw_ >= std::chrono::milliseconds(100)) {
    lastDraw_ = now;
    Draw(false);
  }
}

void Progress::Draw(bool last) {
  const double fraction = std::min(1.0, static_cast<double>(done_) / static_cast<double>(total_));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0;
  const double left = rate > 0 ? static_cast<double>(total_ - std::min(done_, total_)) / rate : 0;
  const int filled = static_cast<int>(fraction * kBarWidth);
  std::fprintf(stderr, "\r[%.*s%*s] %3d%% %8.1f / %.1f MiB  %6.1f MiB/s  %s left ", filled,
               "##############################", kBarWidth - filled, "",
               static_cast<int>(fraction * 100), static_cast<double>(done_) / (1 << 20),
               static_cast<double>(total_) / (1 << 20), rate / (1 << 20), Clock(left).c_str());
  barLineOpen = true;
  if (last) EndProgressLine();
  std::fflush(stderr);
}

// Forwards reads to the source buffer and counts them.
class ProgressStream::Buffer : public std::streambuf {
 public:
  Buffer(std::streambuf* source, Progress& progress) : source_(source), progress_(progress) {}

 protected:
  std::streamsize xsgetn(char* s, std::streamsize n) override {
    std::streamsize got = 0;
    if (gptr() < egptr()) {  // bytes a peek left in our one-byte buffer
      *s = *gptr();
      gbump(1);
      got = 1;
    }
    got += source_->sgetn(s + got, n - got);
    progress_.Advance(static_cast<std::uint64_t>(got));
    return got;
  }
  int_type underflow() override {
    const int_type c = source_->sbumpc();
    if (traits_type::eq_int_type(c, traits_type::eof())) return c;
    held_ = traits_type::to_char_type(c);
    setg(&held_, &held_, &held_ + 1);
    progress_.Advance(1);
    return c;
  }

 private:
  std::streambuf* source_;
  Progress& progress_;
  char held_ = 0;
};

ProgressStream::ProgressStream(std::istream& source, Progress& progress)
    : buffer_(std::make_unique<Buffer>(source.rdbuf(), progress)), stream_(buffer_.get()) {}

ProgressStream::~ProgressStream() = default;

}  // namespace zqutil
