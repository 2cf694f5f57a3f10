// Small helpers for the fuzz targets: taking flags and numbers off the front
// of the fuzzer's input, and a stream over the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zqfuzz {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t Byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  bool Flag() { return (Byte() & 1) != 0; }
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
