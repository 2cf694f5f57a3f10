// What one decryption delivered, watched from outside the library: the size
// field of the container's header as the input hands it over, and the plain
// bytes written out. The library does not compare the two (Crypto.h); the
// tool does, so that a container cut short, forged or written under another
// key pair never decrypts with exit status 0.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

namespace zqutil {

// Reads `source` through, keeping bytes 8 to 11 (the size field).
class HeaderTap {
 public:
  explicit HeaderTap(std::istream& source);
  ~HeaderTap();
  std::istream& Stream() { return stream_; }
  // The size field, once the input delivered it.
  std::optional<std::int32_t> SizeField() const;

 private:
  class Buffer;
  std::unique_ptr<Buffer> buffer_;
  std::istream stream_;
};

// Writes to `target` through, counting the bytes.
class CountedOutput {
 public:
  explicit CountedOutput(std::ostream& target);
  ~CountedOutput();
  std::ostream& Stream() { return stream_; }
  std::uint64_t Count() const;

 private:
  class Buffer;
  std::unique_ptr<Buffer> buffer_;
  std::ostream stream_;
};

// Fails (exit 1, naming `input`) unless `delivered` equals the header's
// `size` field.
void CheckDelivered(const std::string& input, std::optional<std::int32_t> size,
                    std::uint64_t delivered);

}  // namespace zqutil
