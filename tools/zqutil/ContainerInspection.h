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
  bool readsAsFull = false;       // decrypts with a valid padding
  bool readsAsLight = false;      // the file is exactly header + payload
};

// Reads the header of the file at `path` and tries both forms.
ContainerFacts InspectContainer(const std::string& path);

// Returns a reason to refuse reading the file at `path` as a light container
// when its length fits the full form and not the light one (the light reader
// has no check of its own and would turn a full container into noise), or
// nothing.
std::optional<std::string> FullFormReadAsLight(const std::string& path);

// Explains why the container at `path` did not decrypt in the given form:
// not a container, a cut header, the other form, or damage.
std::string ExplainFailure(const std::string& path, bool light);

}  // namespace zqutil
