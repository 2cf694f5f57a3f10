#include "utils/config/store/PlistObjectTable.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

constexpr std::string_view kMagic = "bplist00";
constexpr std::uint64_t kTrailerSize = 32;

std::optional<std::uint64_t> BigEndian(std::string_view bytes, std::uint64_t at,
                                       std::size_t width) {
  if (width == 0 || width > 8 || at > bytes.size() || bytes.size() - at < width) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[static_cast<std::size_t>(at) + i]);
  }
  return value;
}

}  // namespace

std::optional<PlistObjectTable> PlistObjectTable::Open(std::string_view file) {
  if (file.size() < kMagic.size() + kTrailerSize || file.substr(0, kMagic.size()) != kMagic) {
    return std::nullopt;
  }
  const std::uint64_t trailer = file.size() - kTrailerSize;
  PlistObjectTable table;
  table.file_ = file;
  table.offsetSize_ = static_cast<unsigned char>(file[static_cast<std::size_t>(trailer) + 6]);
  table.refSize_ = static_cast<unsigned char>(file[static_cast<std::size_t>(trailer) + 7]);
  const auto count = BigEndian(file, trailer + 8, 8);
  const auto top = BigEndian(file, trailer + 16, 8);
  const auto offsets = BigEndian(file, trailer + 24, 8);
  if (!count || !top || !offsets || table.offsetSize_ < 1 || table.offsetSize_ > 8 ||
      table.refSize_ < 1 || table.refSize_ > 8 || *top >= *count || *offsets < kMagic.size() ||
      *offsets > trailer || *count > (trailer - *offsets) / table.offsetSize_) {
    return std::nullopt;
  }
  table.objectCount_ = *count;
  table.topObject_ = *top;
  table.offsetTable_ = *offsets;
  table.marked_ = file.substr(static_cast<std::size_t>(trailer), kStoreMark.size()) == kStoreMark;
  return table;
}

std::optional<PlistObject> PlistObjectTable::ReadAt(std::uint64_t offset) const {
  const auto marker = static_cast<unsigned char>(file_[static_cast<std::size_t>(offset)]);
  PlistObject object;
  object.type = marker >> 4;
  object.info = marker & 0x0fu;
  object.at = offset;
  object.payloadAt = offset + 1;
  // Bytes per counted element; 0 for types whose marker gives the length.
  std::uint64_t unit = 0;
  switch (object.type) {
    case 0x1:  // integer and real: 2^info bytes
    case 0x2:
      object.payloadSize = std::uint64_t{1} << object.info;
      break;
    case 0x3:  // date: a double
      object.payloadSize = 8;
      break;
    case 0x8:  // UID: info + 1 bytes
      object.payloadSize = object.info + 1u;
      break;
    case 0x4:  // data and ASCII text: bytes
    case 0x5:
      unit = 1;
      break;
    case 0x6:  // UTF-16 text: units
      unit = 2;
      break;
    case 0xA:  // array and sets: references
    case 0xB:
    case 0xC:
      unit = refSize_;
      break;
    case 0xD:  // dictionary: a key and a value reference per pair
      unit = 2 * refSize_;
      break;
    default:  // 0x0 (null, booleans, fill) and unknown types
      break;
  }
  if (unit != 0) {
    object.count = object.info;
    if (object.info == 0x0f) {  // the count follows as an integer object
      const auto intMarker = Unsigned(object.payloadAt, 1);
      if (!intMarker || (*intMarker >> 4) != 0x1 || (*intMarker & 0x0f) > 3) return std::nullopt;
      const std::size_t width = std::size_t{1} << (*intMarker & 0x0f);
      const auto extended = Unsigned(object.payloadAt + 1, width);
      if (!extended) return std::nullopt;
      object.count = *extended;
      object.payloadAt += 1 + width;
    }
    if (object.count > (offsetTable_ - std::min(object.payloadAt, offsetTable_)) / unit) {
      return std::nullopt;
    }
    object.payloadSize = object.count * unit;
  }
  if (!Bytes(object.payloadAt, object.payloadSize)) return std::nullopt;
  return object;
}

}  // namespace ZQ::RVL::Utils::Preferences
