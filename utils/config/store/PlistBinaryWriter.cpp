#include "utils/config/store/PlistBinaryWriter.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "utils/config/store/PlistObjectTable.h"
#include "utils/config/store/PlistRules.h"
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
// object) and refer to each other with `refSize` bytes; `marked` puts
// kStoreMark in its trailer.
void AppendOffsetsAndTrailer(const std::vector<std::uint64_t>& offsets, std::size_t refSize,
                             bool marked, std::string& out) {
  const std::uint64_t offsetTable = out.size();
  const std::size_t offsetSize = WidthOf(offsets.back());
  for (const std::uint64_t offset : offsets) AppendBigEndian(offset, offsetSize, out);
  if (marked) {
    out.append(kStoreMark);
  } else {
    out.append(kStoreMark.size(), '\0');
  }
  out.push_back('\0');  // the sort version
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
  // The store's own layout (PlistLayout::kPacked) when every key is ASCII and
  // every value the store's own: the file then carries kStoreMark.
  bool marked = true;
  for (const auto& entry : dictionary) {
    plan.push_back({Planned::kOwnText, entry.first, 0, {}});
    marked = marked && IsPlainAscii(entry.first);
  }
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
    if (marked) {  // a leaf (a number, a date...) keeps the layout flat
      const auto top = table->ObjectCount() == 1 ? table->Read(0) : std::nullopt;
      marked = top && top->type != kArray && top->type != kDictionary && top->type != 0xB &&
               top->type != 0xC;
    }
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

  AppendOffsetsAndTrailer(offsets, refSize, marked, out);
  return true;
}

namespace {

// Calls `f` with `width` (1 to 8) as a compile-time constant, so that the
// loops of a splice over references and offsets run without a width test
// per number.
template <typename F>
void WithWidth(std::size_t width, F&& f) {
  switch (width) {
    case 1:
      return f(std::integral_constant<std::size_t, 1>{});
    case 2:
      return f(std::integral_constant<std::size_t, 2>{});
    case 3:
      return f(std::integral_constant<std::size_t, 3>{});
    case 4:
      return f(std::integral_constant<std::size_t, 4>{});
    case 5:
      return f(std::integral_constant<std::size_t, 5>{});
    case 6:
      return f(std::integral_constant<std::size_t, 6>{});
    case 7:
      return f(std::integral_constant<std::size_t, 7>{});
    default:
      return f(std::integral_constant<std::size_t, 8>{});
  }
}

// The W-byte big-endian number at `at`, read as one 8-byte word: the file
// holds at least 8 bytes from any reference or offset (the trailer follows).
template <std::size_t W>
std::uint64_t Get(const char* at) {
  std::uint64_t word = 0;
  std::memcpy(&word, at, sizeof word);
  return __builtin_bswap64(word) >> (64 - 8 * W);
}

// Writes `value` as W big-endian bytes at `at` with one 8-byte store, the
// bytes past the W first to be overwritten by what follows (the new file has
// at least 8 bytes left: its trailer comes last). Returns the byte after.
template <std::size_t W>
char* Put(char* at, std::uint64_t value) {
  const std::uint64_t word = __builtin_bswap64(value << (64 - 8 * W));
  std::memcpy(at, &word, sizeof word);
  return at + W;
}

char* Put(char* at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = width; i-- > 0;) *at++ = static_cast<char>(value >> (8 * i) & 0xff);
  return at;
}

}  // namespace

Splice SplicePacked(std::string_view packed, const EntryEdit& edit, std::string& out) {
  const auto table = PlistObjectTable::Open(packed);
  const auto root = table ? table->Read(0) : std::nullopt;
  if (!root || root->type != kDictionary || root->at != PlistObjectTable::kMagicSize ||
      table->ObjectCount() < root->count + 1) {
    return Splice::kDeclined;  // not what the reader calls packed
  }
  const std::uint64_t n = root->count;
  const std::uint64_t total = table->ObjectCount();
  // The offset of object j, and of the end of the object area for `total`.
  const auto offsetOf = [&](std::uint64_t j) {
    return j < total ? table->OffsetOf(j) : table->ObjectAreaEnd();
  };
  const auto keyAt = [&](std::uint64_t i) -> std::optional<std::string_view> {
    const auto object = table->Read(i + 1);  // key i is object i + 1
    if (!object) return std::nullopt;
    return table->Bytes(object->payloadAt, object->payloadSize);
  };

  // Where the key goes: the first key not below it.
  std::uint64_t at = 0;
  for (std::uint64_t high = n; at < high;) {
    const std::uint64_t middle = at + (high - at) / 2;
    const auto key = keyAt(middle);
    if (!key) return Splice::kDeclined;
    if (*key < edit.key) {
      at = middle + 1;
    } else {
      high = middle;
    }
  }
  const auto there = at < n ? keyAt(at) : std::nullopt;
  const bool found = there && *there == edit.key;
  if (edit.value == nullptr && !found) return Splice::kUnchanged;

  std::string newKey;
  std::string newValue;
  if (!found) {
    if (!IsPlainAscii(edit.key)) return Splice::kDeclined;
    AppendText(edit.key, newKey);
  }
  if (edit.value != nullptr) {
    if (const auto* text = std::get_if<TextValue>(edit.value)) {
      if (!AppendText(text->text, newValue)) return Splice::kDeclined;
    } else if (const auto* bytes = std::get_if<BytesValue>(edit.value)) {
      AppendMarker(kData, bytes->bytes.size(), newValue);
      newValue.append(bytes->bytes);
    } else {
      return Splice::kDeclined;
    }
  }

  // The value references: value i is most often object n + 1 + i, and then
  // none is shared.
  const char* refs = packed.data() + root->payloadAt + n * table->RefSize();
  bool sequential = true;
  bool inRange = true;
  WithWidth(table->RefSize(), [&](auto width) {
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint64_t ref = Get<width>(refs + i * width);
      sequential = sequential && ref == n + 1 + i;
      inRange = inRange && ref > n && ref < total;
    }
  });
  if (!inRange) return Splice::kDeclined;
  const auto valueOf = [&](std::uint64_t i) { return *table->Reference(*root, n + i); };
  const std::uint64_t oldValue = found ? valueOf(at) : 0;
  bool sharing = false;
  bool oldShared = false;  // another key refers to the edited key's value
  if (!sequential) {
    std::vector<bool> seen(static_cast<std::size_t>(total), false);
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint64_t ref = valueOf(i);
      sharing = sharing || seen[static_cast<std::size_t>(ref)];
      seen[static_cast<std::size_t>(ref)] = true;
      oldShared = oldShared || (found && ref == oldValue && i != at);
    }
  }

  // The new file's objects after its root, as runs of the old ones
  // ([first, end)) and new ones (`fresh`).
  struct Run {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    std::string_view fresh;
    std::uint64_t newAt = 0;  // its offset in the new file
  };
  Run runs[4];
  std::size_t count = 0;
  const auto old = [&](std::uint64_t first, std::uint64_t end) {
    if (first < end) runs[count++] = Run{first, end, {}, 0};
  };
  const auto fresh = [&](const std::string& bytes) { runs[count++] = Run{0, 0, bytes, 0}; };
  // Old value object j becomes j + shift, or j + shift - 1 above `dropped`.
  std::int64_t shift = 0;
  std::uint64_t dropped = total;
  std::uint64_t newValueIndex = 0;
  if (!found) {  // the key in its place, its value after every other
    old(1, at + 1);
    fresh(newKey);
    old(at + 1, total);
    fresh(newValue);
    shift = 1;
    newValueIndex = total + 1;
  } else if (edit.value == nullptr) {  // the key goes, and its value unless shared
    old(1, at + 1);
    shift = -1;
    if (oldShared) {
      old(at + 2, total);
    } else {
      old(at + 2, oldValue);
      old(oldValue + 1, total);
      dropped = oldValue;
    }
  } else if (!oldShared) {  // the value replaced where it was
    old(1, oldValue);
    fresh(newValue);
    old(oldValue + 1, total);
    newValueIndex = oldValue;
  } else {
    old(1, total);
    fresh(newValue);
    newValueIndex = total;
  }
  const std::uint64_t entries = found && edit.value == nullptr ? n - 1 : found ? n : n + 1;
  if (entries > kMaxPlistEntries) return Splice::kDeclined;
  std::uint64_t newTotal = 1;
  for (std::size_t r = 0; r < count; ++r) {
    newTotal += runs[r].fresh.empty() ? runs[r].end - runs[r].first : 1;
  }
  const auto renumber = [&](std::uint64_t j) {
    return j + static_cast<std::uint64_t>(shift) - (j > dropped ? 1 : 0);
  };

  if (newTotal > kMaxPlistObjects) return Splice::kDeclined;  // objects no reference needs
  const std::size_t refSize = WidthOf(newTotal - 1);
  std::string rootMarker;
  AppendMarker(kDictionary, entries, rootMarker);
  std::uint64_t end = PlistObjectTable::kMagicSize + rootMarker.size() + 2 * entries * refSize;
  std::uint64_t last = PlistObjectTable::kMagicSize;  // the last object's offset
  for (std::size_t r = 0; r < count; ++r) {
    runs[r].newAt = end;
    if (!runs[r].fresh.empty()) {
      last = end;
      end += runs[r].fresh.size();
    } else {
      last = end + offsetOf(runs[r].end - 1) - offsetOf(runs[r].first);
      end += offsetOf(runs[r].end) - offsetOf(runs[r].first);
    }
  }
  const std::size_t offsetSize = WidthOf(last);
  const std::uint64_t size = end + newTotal * offsetSize + 32;
  // Content within the limit: without shared values it is less than the
  // file; with them, the keys' bytes and every value's at each reference,
  // markers and all, bound it.
  if (size > kMaxFileSize) return Splice::kDeclined;
  if (sharing || size > kMaxContentBytes) {
    std::uint64_t bound = offsetOf(n + 1) - offsetOf(1) + newKey.size() + newValue.size();
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint64_t ref = valueOf(i);
      bound += offsetOf(ref + 1) - offsetOf(ref);
    }
    if (bound > kMaxContentBytes) return Splice::kDeclined;
  }

  out.resize(static_cast<std::size_t>(size));
  char* put = out.data();
  std::memcpy(put, kMagic.data(), kMagic.size());
  put += kMagic.size();
  std::memcpy(put, rootMarker.data(), rootMarker.size());
  put += rootMarker.size();
  WithWidth(refSize, [&](auto width) {
    for (std::uint64_t key = 1; key <= entries; ++key) put = Put<width>(put, key);
    // The value of the new file's key q: the old key's at q, or past the
    // key added or removed at `at`.
    WithWidth(table->RefSize(), [&](auto oldWidth) {
      const bool same = shift == 0 && dropped == total && width == oldWidth;
      const auto copyRefs = [&](std::uint64_t from, std::uint64_t to) {
        if (same && from < to) {  // a value replaced where it was: copied as they are
          std::memcpy(put, refs + from * width, static_cast<std::size_t>((to - from) * width));
          put += (to - from) * width;
          return;
        }
        for (std::uint64_t i = from; i < to; ++i) {
          put = Put<width>(put, renumber(Get<oldWidth>(refs + i * oldWidth)));
        }
      };
      if (!found) {
        copyRefs(0, at);
        put = Put<width>(put, newValueIndex);
        copyRefs(at, n);
      } else if (edit.value == nullptr) {
        copyRefs(0, at);
        copyRefs(at + 1, n);
      } else {
        copyRefs(0, at);
        put = Put<width>(put, newValueIndex);
        copyRefs(at + 1, n);
      }
    });
  });
  for (std::size_t r = 0; r < count; ++r) {
    const std::string_view bytes =
        !runs[r].fresh.empty()
            ? runs[r].fresh
            : packed.substr(
                  static_cast<std::size_t>(offsetOf(runs[r].first)),
                  static_cast<std::size_t>(offsetOf(runs[r].end) - offsetOf(runs[r].first)));
    std::memcpy(put, bytes.data(), bytes.size());
    put += bytes.size();
  }
  const char* offsets = packed.data() + table->ObjectAreaEnd();
  WithWidth(offsetSize, [&](auto width) {
    put = Put<width>(put, PlistObjectTable::kMagicSize);
    WithWidth(table->OffsetSize(), [&](auto oldWidth) {
      for (std::size_t r = 0; r < count; ++r) {
        if (!runs[r].fresh.empty()) {
          put = Put<width>(put, runs[r].newAt);
          continue;
        }
        const std::uint64_t move = runs[r].newAt - offsetOf(runs[r].first);
        if (move == 0 && width == oldWidth) {  // the objects before an edit
          const std::size_t bytes = static_cast<std::size_t>((runs[r].end - runs[r].first) * width);
          std::memcpy(put, offsets + runs[r].first * width, bytes);
          put += bytes;
          continue;
        }
        for (std::uint64_t j = runs[r].first; j < runs[r].end; ++j) {
          put = Put<width>(put, Get<oldWidth>(offsets + j * oldWidth) + move);
        }
      }
    });
  });
  std::memcpy(put, kStoreMark.data(), kStoreMark.size());
  put += kStoreMark.size();
  *put++ = '\0';  // the sort version
  *put++ = static_cast<char>(offsetSize);
  *put++ = static_cast<char>(refSize);
  put = Put(put, newTotal, 8);
  put = Put(put, 0, 8);  // the top object
  Put(put, end, 8);
  return Splice::kDone;
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
  AppendOffsetsAndTrailer(offsets, refSize, false, out);
  return true;
}

}  // namespace ZQ::RVL::Utils::Preferences
