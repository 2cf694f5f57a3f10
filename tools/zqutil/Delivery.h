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
  // With `endAtContainer` (the form: true for light), the stream ends where
  // the header says the container ends (the full form: 20 bytes of header
  // and the size rounded up to the next block of 8; the light form: 12 and
  // the size), and nothing past it is taken from `source`, so that what
  // follows can be told apart there.
  explicit HeaderTap(std::istream& source, std::optional<bool> endAtContainer = std::nullopt);
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
