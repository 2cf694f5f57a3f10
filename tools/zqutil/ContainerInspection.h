// What zqutil can tell about a container file beyond the library's true or
// false: its header fields, its expected and actual length, which form it
// reads as, and why a decryption failed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zqutil {

struct ContainerFacts {
  bool hasMagic = false;
  std::optional<std::int32_t> plainSize;  // when the size field is complete
  std::optional<std::string> ivHex;       // when 8 bytes follow the size field
  std::uint64_t actualLength = 0;
  std::int64_t fullLength = -1;   // 20 + padded cipher length, or -1
  std::int64_t lightLength = -1;  // 12 + plain size, or -1
  bool readsAsFull = false;       // the file is exactly header + payload, of a valid padding
  bool readsAsLight = false;      // the file is exactly header + payload
};

// The length of a container whose size field is `size`: 20 bytes of header
// and the size rounded up to the next block of 8 in the full form, 12 and the
// size in the light form; -1 for a negative size.
std::int64_t ContainerLength(std::int32_t size, bool light);

// Reads the header of the file at `path` and tries both forms.
ContainerFacts InspectContainer(const std::string& path);

// Why the container file at `path` does not read in the given form, judged
// by its header and its length alone (nothing is decrypted): a container's
// file ends where the container ends, so a file cut short, one with bytes
// after the container (a second container, other data), one of the other
// form's length, and a negative size field are refused with their reason
// before any byte is written. Nothing when the length agrees, or the header
// cannot be read (the decryption then says why).
std::optional<std::string> LengthMismatch(const std::string& path, bool light);

// Explains why the container at `path` did not decrypt in the given form:
// not a container, a cut header, the other form, or damage.
std::string ExplainFailure(const std::string& path, bool light);

}  // namespace zqutil
