// Small helpers for the fuzz targets: taking flags, numbers and the kind of
// stream to read through off the front of the fuzzer's input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/StreamKinds.h"

namespace zqfuzz {

// The kind of stream a target reads the rest of the input through, and
// whether it has exceptions() enabled.
struct StreamChoice {
  zqtest::StreamKind kind;
  bool exceptions;
};

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t Byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  bool Flag() { return (Byte() & 1) != 0; }
  StreamChoice Stream() {
    const std::uint8_t b = Byte();
    return {zqtest::kStreamKinds[b % 3], (b & 4) != 0};
  }
  std::string Rest() {
    std::string rest(reinterpret_cast<const char*>(data_), size_);
    size_ = 0;
    return rest;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// Stops the run with a message: a property the target checks did not hold.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

}  // namespace zqfuzz
