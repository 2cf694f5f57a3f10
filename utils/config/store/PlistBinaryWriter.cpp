#include "utils/config/store/PlistBinaryWriter.h"

#include <cstdint>
#include <string_view>
#include <vector>

#include "utils/config/store/PlistCheck.h"
#include "utils/config/store/PlistObjectTable.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

constexpr std::string_view kMagic = "bplist00";
constexpr unsigned kData = 0x4;
constexpr unsigned kAscii = 0x5;
constexpr unsigned kUtf16 = 0x6;
constexpr unsigned kArray = 0xA;
constexpr unsigned kDictionary = 0xD;

// The fewest bytes (1 to 8) that hold `value`.
std::size_t WidthOf(std::uint64_t value) {
  std::size_t width = 1;
  while (width < 8 && value >> (8 * width) != 0) ++width;
  return width;
}

void AppendBigEndian(std::uint64_t value, std::size_t width, std::string& out) {
  for (std::size_t i = width; i-- > 0;) out.push_back(static_cast<char>(value >> (8 * i) & 0xff));
}

// A marker of `type` for `count` elements: the count in its low nibble below
// 15, else in an integer object of 1, 2, 4 or 8 bytes after it.
void AppendMarker(unsigned type, std::uint64_t count, std::string& out) {
  if (count < 15) {
    out.push_back(static_cast<char>(type << 4 | count));
    return;
  }
  out.push_back(static_cast<char>(type << 4 | 0xf));
  unsigned power = 0;
  while ((std::size_t{1} << power) < WidthOf(count)) ++power;
  out.push_back(static_cast<char>(0x10 | power));
  AppendBigEndian(count, std::size_t{1} << power, out);
}

bool IsContinuation(unsigned char byte) {
  return (byte & 0xc0) == 0x80;
}

// Appends `text` as a text object, as libplist writes it: ASCII when it can
// be, else UTF-16 (big-endian, surrogate pairs above U+FFFF).
bool AppendText(std::string_view text, std::string& out) {
  if (text.find('\0') != std::string_view::npos || !IsUtf8(text)) return false;
  std::uint64_t units = 0;
  bool ascii = true;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    ascii = ascii && byte < 0x80;
    if (!IsContinuation(byte)) units += byte >= 0xf0 ? 2 : 1;
  }
  if (ascii) {
    AppendMarker(kAscii, text.size(), out);
    out.append(text);
    return true;
  }
  AppendMarker(kUtf16, units, out);
  const auto appendUnit = [&](std::uint32_t unit) { AppendBigEndian(unit, 2, out); };
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    std::uint32_t code = length == 1 ? lead : lead & (0x7fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
      code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3fu);
    }
    i += length;
    if (code < 0x10000) {
      appendUnit(code);
    } else {
      code -= 0x10000;
      appendUnit(0xd800 | code >> 10);
      appendUnit(0xdc00 | (code & 0x3ff));
    }
  }
  return true;
}

// Appends every object of `table`, the first as object `base`, its references
// moved by `base` and written `refSize` bytes wide; other objects are copied
// byte for byte. Sets are refused: the store reads no file holding one.
bool AppendObjects(const PlistObjectTable& table, std::uint64_t base, std::size_t refSize,
                   std::vector<std::uint64_t>& offsets, std::string& out) {
  for (std::uint64_t index = 0; index < table.ObjectCount(); ++index) {
    const auto object = table.Read(index);
    if (!object) return false;
    offsets.push_back(out.size());
    const bool container = object->type == kArray || object->type == kDictionary;
    const bool known = object->type <= kUtf16 || object->type == 0x8;  // 0x8: a UID
    if (!container && !known) return false;
    const auto bytes =
        table.Bytes(object->at, container ? object->payloadAt - object->at
                                          : object->payloadAt - object->at + object->payloadSize);
    if (!bytes) return false;
    out.append(*bytes);
    if (!container) continue;
    const std::uint64_t refs = object->type == kDictionary ? 2 * object->count : object->count;
    for (std::uint64_t i = 0; i < refs; ++i) {
      const auto ref = table.Reference(*object, i);
      if (!ref) return false;
      AppendBigEndian(base + *ref, refSize, out);
    }
  }
  return true;
}

}  // namespace

bool WriteBinaryDictionary(const Dictionary& dictionary, std::string& out) {
  // Object 0 is the root, 1 to n its keys, then come the values: one object
  // of our own, or all the objects of another program's value.
  std::vector<PlistObjectTable> originals;
  std::vector<std::uint64_t> valueRefs;
  valueRefs.reserve(dictionary.size());
  std::uint64_t total = 1 + dictionary.size();
  std::size_t sizeGuess = 64;
  for (const auto& [key, value] : dictionary) {
    sizeGuess += key.size() + value.bytes.size() + value.original.size() + 16;
    if (value.original.empty()) {
      if (value.kind == ValueKind::kOther) return false;
      valueRefs.push_back(total++);
      continue;
    }
    auto table = PlistObjectTable::Open(value.original);
    if (!table) return false;
    valueRefs.push_back(total + table->TopObject());
    total += table->ObjectCount();
    originals.push_back(*table);
  }
  const std::size_t refSize = WidthOf(total - 1);

  out.clear();
  out.reserve(sizeGuess + total * (2 * refSize + 8));
  out.append(kMagic);
  std::vector<std::uint64_t> offsets;
  offsets.reserve(total);
  offsets.push_back(out.size());
  AppendMarker(kDictionary, dictionary.size(), out);
  for (std::uint64_t key = 1; key <= dictionary.size(); ++key) AppendBigEndian(key, refSize, out);
  for (const std::uint64_t ref : valueRefs) AppendBigEndian(ref, refSize, out);
  for (const auto& entry : dictionary) {
    offsets.push_back(out.size());
    if (!AppendText(entry.first, out)) return false;
  }
  auto original = originals.begin();
  for (const auto& entry : dictionary) {
    const StoredValue& value = entry.second;
    if (!value.original.empty()) {
      if (!AppendObjects(*original++, offsets.size(), refSize, offsets, out)) return false;
      continue;
    }
    offsets.push_back(out.size());
    if (value.kind == ValueKind::kText) {
      if (!AppendText(value.bytes, out)) return false;
    } else {
      AppendMarker(kData, value.bytes.size(), out);
      out.append(value.bytes);
    }
  }

  const std::uint64_t offsetTable = out.size();
  const std::size_t offsetSize = WidthOf(offsets.back());
  for (const std::uint64_t offset : offsets) AppendBigEndian(offset, offsetSize, out);
  out.append(6, '\0');  // unused, and the sort version
  out.push_back(static_cast<char>(offsetSize));
  out.push_back(static_cast<char>(refSize));
  AppendBigEndian(offsets.size(), 8, out);
  AppendBigEndian(0, 8, out);  // the top object: the root
  AppendBigEndian(offsetTable, 8, out);
  return true;
}

}  // namespace ZQ::RVL::Utils::Preferences
