// A fault hook for the file layer's seam (utils/file/FileCalls.h), installed
// for as long as the object lives: counts the calls of each kind, and fails
// the n-th call of one kind (n = 0: every one) with `error`, or shortens every
// read and write, or interrupts every call once.
#pragma once

#include <cerrno>
#include <cstddef>

#include "utils/file/FileCalls.h"

namespace zqtest {

namespace files = ZQ::RVL::Utils::internal::files;

class FileFaults : public files::FaultHook {
 public:
  enum class Mode { kCount, kFailNth, kShort, kInterrupt };
  explicit FileFaults(Mode mode, files::Call kind = files::Call::kOpen, int n = 0, int error = EIO)
      : mode_(mode), kind_(kind), n_(n), error_(error) {
    files::SetFaultHook(this);
  }
  ~FileFaults() override { files::SetFaultHook(nullptr); }
  FileFaults(const FileFaults&) = delete;
  FileFaults& operator=(const FileFaults&) = delete;

  int Before(files::Call call, int, const char*, std::size_t& size) override {
    const int seen = ++counts_[static_cast<int>(call)];
    switch (mode_) {
      case Mode::kCount:
        return 0;
      case Mode::kFailNth:
        if (call != kind_ || (seen != n_ && n_ != 0)) return 0;
        failed_ = true;
        return error_;
      case Mode::kShort:
        if ((call == files::Call::kRead || call == files::Call::kWrite) && size > 1) {
          size = size / 2 + 1;
        }
        return 0;
      case Mode::kInterrupt:
        return (interrupted_ = !interrupted_) ? EINTR : 0;
    }
    return 0;
  }
  int Count(files::Call call) const { return counts_[static_cast<int>(call)]; }
  bool Failed() const { return failed_; }

 private:
  Mode mode_;
  files::Call kind_;
  int n_;
  int error_;
  bool failed_ = false;
  bool interrupted_ = false;
  int counts_[files::kCallKinds] = {};
};

}  // namespace zqtest
