#include "utils/config/store/PlistBinaryWriter.h"

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "utils/config/store/PlistObjectTable.h"
#include "utils/config/store/Utf8.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

constexpr std::string_view kMagic = "bplist00";

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
  if (IsPlainAscii(text)) {  // most texts: one pass decides
    AppendMarker(kAscii, text.size(), out);
    out.append(text);
    return true;
  }
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

// One object of the file, in index order: a key or a text or data of our
// own, or an object of another program's value (with where its references go).
struct Planned {
  enum Kind { kOwnText, kOwnData, kForeign } kind;
  std::string_view bytes;  // the text (UTF-8) or the data
  std::size_t original = 0;
  PlistObject object;
};

// Another program's value: its table, and the index in the file of each of
// its objects.
struct Original {
  PlistObjectTable table;
  std::vector<std::uint64_t> index;
};

// Ends a file whose objects start at `offsets` (the first is the top
// object) and refer to each other with `refSize` bytes.
void AppendOffsetsAndTrailer(const std::vector<std::uint64_t>& offsets, std::size_t refSize,
                             std::string& out) {
  const std::uint64_t offsetTable = out.size();
  const std::size_t offsetSize = WidthOf(offsets.back());
  for (const std::uint64_t offset : offsets) AppendBigEndian(offset, offsetSize, out);
  out.append(6, '\0');  // unused, and the sort version
  out.push_back(static_cast<char>(offsetSize));
  out.push_back(static_cast<char>(refSize));
  AppendBigEndian(offsets.size(), 8, out);
  AppendBigEndian(0, 8, out);  // the top object
  AppendBigEndian(offsetTable, 8, out);
}

bool IsText(const PlistObject& object) {
  return object.type == kAscii || object.type == kUtf16;
}

}  // namespace

bool WriteBinaryDictionary(const Dictionary& dictionary, std::string& out) {
  // Object 0 is the root, 1 to n its keys, then come the values: one object
  // of our own, or the objects of another program's value. Equal texts are
  // written once, as libplist and plistlib write them: a file may refer to
  // one text from many places (texts count against kMaxContentBytes only), and
  // its rewrite must not grow past what the file it was read from holds.
  std::vector<Planned> plan;
  plan.reserve(1 + 2 * dictionary.size());
  std::vector<Original> originals;
  // The index of each text written: ours by their UTF-8, those of other
  // programs' values by their object's bytes.
  std::unordered_map<std::string_view, std::uint64_t> ownIndex;
  std::unordered_map<std::string_view, std::uint64_t> texts;
  ownIndex.reserve(dictionary.size());
  std::vector<std::uint64_t> valueRefs;
  valueRefs.reserve(dictionary.size());
  std::size_t sizeGuess = 64;
  plan.push_back({Planned::kOwnText, {}, 0, {}});  // the root, written apart
  for (const auto& entry : dictionary) plan.push_back({Planned::kOwnText, entry.first, 0, {}});
  // The index of a foreign text object of `bytes`: the one written before,
  // or the next.
  const auto textIndex = [&](std::string_view bytes, Planned planned) {
    const auto [found, added] = texts.emplace(bytes, plan.size());
    if (added) plan.push_back(planned);
    return found->second;
  };
  for (const auto& [key, value] : dictionary) {
    sizeGuess += key.size() + 16;
    if (const auto* text = std::get_if<TextValue>(&value)) {
      sizeGuess += text->text.size();
      const auto [known, added] = ownIndex.emplace(text->text, plan.size());
      if (added) plan.push_back({Planned::kOwnText, text->text, 0, {}});
      valueRefs.push_back(known->second);
      continue;
    }
    if (const auto* bytes = std::get_if<BytesValue>(&value)) {
      sizeGuess += bytes->bytes.size();
      valueRefs.push_back(plan.size());
      plan.push_back({Planned::kOwnData, bytes->bytes, 0, {}});
      continue;
    }
    const std::string& plist = std::get<ForeignValue>(value).plist;
    sizeGuess += plist.size();
    auto table = PlistObjectTable::Open(plist);
    if (!table) return false;
    Original& original = originals.emplace_back(Original{*table, {}});
    original.index.reserve(table->ObjectCount());
    for (std::uint64_t i = 0; i < table->ObjectCount(); ++i) {
      const auto object = table->Read(i);
      if (!object) return false;
      const bool container = object->type == kArray || object->type == kDictionary;
      const bool known = object->type <= kUtf16 || object->type == 0x8;  // 0x8: a UID
      if (!container && !known) return false;
      const Planned planned{Planned::kForeign, {}, originals.size() - 1, *object};
      if (IsText(*object)) {
        const auto bytes =
            table->Bytes(object->at, object->payloadAt - object->at + object->payloadSize);
        if (!bytes) return false;
        original.index.push_back(textIndex(*bytes, planned));
        continue;
      }
      original.index.push_back(plan.size());
      plan.push_back(planned);
    }
    valueRefs.push_back(original.index[static_cast<std::size_t>(table->TopObject())]);
  }
  const std::uint64_t total = plan.size();
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
  for (std::size_t i = 1; i < plan.size(); ++i) {
    const Planned& planned = plan[i];
    offsets.push_back(out.size());
    switch (planned.kind) {
      case Planned::kOwnText:
        if (!AppendText(planned.bytes, out)) return false;
        continue;
      case Planned::kOwnData:
        AppendMarker(kData, planned.bytes.size(), out);
        out.append(planned.bytes);
        continue;
      case Planned::kForeign:
        break;
    }
    // Leaves are copied byte for byte; containers get their references moved
    // to the file's objects, `refSize` bytes wide.
    const Original& original = originals[planned.original];
    const PlistObject& object = planned.object;
    const bool container = object.type == kArray || object.type == kDictionary;
    const auto bytes = original.table.Bytes(
        object.at, object.payloadAt - object.at + (container ? 0 : object.payloadSize));
    if (!bytes) return false;
    out.append(*bytes);
    if (!container) continue;
    const std::uint64_t refs = object.type == kDictionary ? 2 * object.count : object.count;
    for (std::uint64_t r = 0; r < refs; ++r) {
      const auto ref = original.table.Reference(object, r);
      if (!ref) return false;
      AppendBigEndian(original.index[static_cast<std::size_t>(*ref)], refSize, out);
    }
  }

  AppendOffsetsAndTrailer(offsets, refSize, out);
  return true;
}

bool WriteValueOf(const PlistObjectTable& table, std::uint64_t top, std::string& out) {
  // The objects reachable from `top`, each once, in the order first reached;
  // `index` maps the table's to the new ones (top first).
  std::vector<std::uint64_t> objects{top};
  std::unordered_map<std::uint64_t, std::uint64_t> index{{top, 0}};
  std::vector<PlistObject> read;
  for (std::size_t next = 0; next < objects.size(); ++next) {
    const auto object = table.Read(objects[next]);
    if (!object) return false;
    read.push_back(*object);
    if (object->type != kArray && object->type != kDictionary) continue;
    const std::uint64_t refs = object->type == kDictionary ? 2 * object->count : object->count;
    for (std::uint64_t r = 0; r < refs; ++r) {
      const auto ref = table.Reference(*object, r);
      if (!ref) return false;
      if (index.emplace(*ref, objects.size()).second) objects.push_back(*ref);
    }
  }
  const std::size_t refSize = WidthOf(objects.size() - 1);
  out.assign(kMagic);
  std::vector<std::uint64_t> offsets;
  offsets.reserve(objects.size());
  for (const PlistObject& object : read) {
    offsets.push_back(out.size());
    const bool container = object.type == kArray || object.type == kDictionary;
    const auto bytes =
        table.Bytes(object.at, object.payloadAt - object.at + (container ? 0 : object.payloadSize));
    if (!bytes) return false;
    out.append(*bytes);
    if (!container) continue;
    const std::uint64_t refs = object.type == kDictionary ? 2 * object.count : object.count;
    for (std::uint64_t r = 0; r < refs; ++r) {
      AppendBigEndian(index.at(*table.Reference(object, r)), refSize, out);
    }
  }
  AppendOffsetsAndTrailer(offsets, refSize, out);
  return true;
}

}  // namespace ZQ::RVL::Utils::Preferences
