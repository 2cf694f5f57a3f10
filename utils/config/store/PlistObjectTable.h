// The object table of a binary property list ("bplist00"): its trailer, the
// offset of each object, and each object's marker, count and references, read
// with every offset and length checked against the file. The one place that
// decodes the binary layout apart from libplist itself. Private to the store.
//
// Thread-safety: a table only reads the bytes it was opened on; any thread may
// use a const table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ZQ::RVL::Utils::Preferences {

// The object types (a marker's high nibble) the store reads by name.
constexpr unsigned kData = 0x4;
constexpr unsigned kAscii = 0x5;
constexpr unsigned kUtf16 = 0x6;
constexpr unsigned kArray = 0xA;
constexpr unsigned kDictionary = 0xD;

// The mark the store's writer puts in the five unused bytes at the start of
// the trailer: the file promises the store's own layout (PlistCodec.h:
// PlistLayout::kMarked). Other readers ignore those bytes.
constexpr std::string_view kStoreMark = "ZQKO1";

// One object as its marker byte describes it.
struct PlistObject {
  unsigned type = 0;  // the marker's high nibble: 0x1 integer ... 0xD dictionary
  unsigned info = 0;  // the marker's low nibble
  // Texts, data and containers: the element count (UTF-16 units for 0x6, key
  // and value pairs for 0xD), read from the marker or from the integer that
  // follows it. Other objects: 0.
  std::uint64_t count = 0;
  std::uint64_t at = 0;         // the marker's offset in the file
  std::uint64_t payloadAt = 0;  // the first byte after the marker and its count
  // The payload's length in bytes: the value of a number, date or UID, a
  // text's or data's bytes, a container's references.
  std::uint64_t payloadSize = 0;
};

class PlistObjectTable {
 public:
  // "bplist00": the first object follows it.
  static constexpr std::uint64_t kMagicSize = 8;

  // Reads the trailer of `file` (which must outlive the table). Returns
  // nothing when `file` is not "bplist00", its trailer is malformed, or its
  // offset table or top object lies outside it.
  static std::optional<PlistObjectTable> Open(std::string_view file);

  std::uint64_t ObjectCount() const { return objectCount_; }
  // True when the trailer carries kStoreMark.
  bool Marked() const { return marked_; }
  // Where the object area ends: the offset table's first byte.
  std::uint64_t ObjectAreaEnd() const { return offsetTable_; }
  std::size_t OffsetSize() const { return offsetSize_; }
  // The offset of object `index` (< ObjectCount()), unchecked: it may lie
  // anywhere.
  std::uint64_t OffsetOf(std::uint64_t index) const {
    return Load(offsetTable_ + index * offsetSize_, offsetSize_);
  }
  std::uint64_t TopObject() const { return topObject_; }
  std::size_t RefSize() const { return refSize_; }

  // Reads the marker and count of object `index`. Returns nothing when the
  // index, its offset or its count lies outside the object area, an extended
  // count is not an integer of 1 to 8 bytes, or the payload would run past the
  // object area. Markers of unknown types come back with an empty payload.
  [[gnu::always_inline]] std::optional<PlistObject> Read(std::uint64_t index) const {
    if (index >= objectCount_) return std::nullopt;
    const std::uint64_t offset = Load(offsetTable_ + index * offsetSize_, offsetSize_);
    if (offset < kMagicSize || offset >= offsetTable_) return std::nullopt;
    // Data and ASCII texts of fewer than 256 bytes, most of a settings file,
    // without a call.
    const auto* bytes = reinterpret_cast<const unsigned char*>(file_.data());
    const unsigned type = bytes[offset] >> 4;
    const unsigned info = bytes[offset] & 0x0fu;
    if ((type == 0x4 || type == 0x5) &&
        (info != 0x0f || (offset + 2 < offsetTable_ && bytes[offset + 1] == 0x10))) {
      PlistObject object;
      object.type = type;
      object.info = info;
      object.at = offset;
      object.count = info != 0x0f ? info : bytes[offset + 2];
      object.payloadAt = offset + (info != 0x0f ? 1 : 3);
      object.payloadSize = object.count;
      if (offsetTable_ - object.payloadAt < object.payloadSize) return std::nullopt;
      return object;
    }
    return ReadAt(offset);
  }

  // Returns the `i`th reference of container `object` (i < count, or
  // 2 * count for a dictionary: keys first), or nothing when it names no
  // object of the table.
  [[gnu::always_inline]] std::optional<std::uint64_t> Reference(const PlistObject& object,
                                                                std::uint64_t i) const {
    const std::uint64_t at = object.payloadAt + i * refSize_;
    if (at > offsetTable_ || offsetTable_ - at < refSize_) return std::nullopt;
    const std::uint64_t ref = Load(at, refSize_);
    if (ref >= objectCount_) return std::nullopt;
    return ref;
  }

  // Returns the `width` (1 to 8) bytes at `at` as a big-endian unsigned
  // integer, or nothing when they lie outside the object area.
  std::optional<std::uint64_t> Unsigned(std::uint64_t at, std::size_t width) const {
    if (width == 0 || width > 8 || at > offsetTable_ || offsetTable_ - at < width) {
      return std::nullopt;
    }
    return Load(at, width);
  }

  // Returns `size` bytes of payload at `at`, or nothing when they lie outside
  // the object area.
  std::optional<std::string_view> Bytes(std::uint64_t at, std::uint64_t size) const {
    if (at > offsetTable_ || offsetTable_ - at < size) return std::nullopt;
    return file_.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(size));
  }

 private:
  PlistObjectTable() = default;

  // The `width` (1 to 8) bytes at `at`, which lie inside the file, as a
  // big-endian integer.
  std::uint64_t Load(std::uint64_t at, std::size_t width) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(file_.data()) + at;
    switch (width) {  // the widths settings files use, without a loop
      case 1:
        return bytes[0];
      case 2:
        return std::uint64_t{bytes[0]} << 8 | bytes[1];
      case 3:
        return std::uint64_t{bytes[0]} << 16 | std::uint64_t{bytes[1]} << 8 | bytes[2];
      default:
        break;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = value << 8 | bytes[i];
    return value;
  }

  // Read, for an object at `offset` inside the object area.
  std::optional<PlistObject> ReadAt(std::uint64_t offset) const;

  std::string_view file_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t topObject_ = 0;
  std::uint64_t offsetTable_ = 0;  // where the object area ends
  bool marked_ = false;
};

}  // namespace ZQ::RVL::Utils::Preferences
