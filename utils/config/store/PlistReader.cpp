// The store's one reader of settings files: a walk over the binary object
// table (PlistObjectTable.h) that checks the whole graph within the limits of
// PlistRules.h, without recursion, and decodes what the caller asked for. An
// XML file is checked (PlistXmlCheck.h), converted by libplist (PlistXml.h),
// and its binary form read here like any other. Values of other programs are
// compared here too (SameValue), over the same text decoding.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "utils/config/store/PlistBinaryWriter.h"
#include "utils/config/store/PlistCodec.h"
#include "utils/config/store/PlistObjectTable.h"
#include "utils/config/store/PlistXml.h"
#include "utils/config/store/PlistXmlCheck.h"
#include "utils/config/store/Utf8.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

// Seconds since 2001 of 0001-01-01T00:00:00 and of the first instant after
// 9999-12-31T23:59:59: the dates plistlib reads.
constexpr double kFirstDate = -63113904000.0;
constexpr double kPastLastDate = 252423993600.0;

bool Refuse(PlistRefusal* why, std::string rule, std::string where = {}, bool overLimits = false) {
  if (why != nullptr) *why = PlistRefusal{overLimits, std::move(rule), std::move(where)};
  return false;
}

}  // namespace

std::string ShownKey(std::string_view key) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown = "\"";
  for (std::size_t i = 0; i < key.size() && i < 40; ++i) {
    const auto c = static_cast<unsigned char>(key[i]);
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      shown += {'\\', 'x', kHex[c >> 4], kHex[c & 0xf]};
    }
  }
  return shown + (key.size() > 40 ? "...\"" : "\"");
}

namespace {

std::string AtByte(std::uint64_t at) {
  return "at byte " + std::to_string(at);
}

// Checks text object `object` (0x5 ASCII, 0x6 UTF-16 big-endian) and, when
// `utf8` is not null, appends it there as UTF-8. Returns the rule it breaks,
// or null: plistlib refuses a byte above 0x7f in ASCII and an unpaired
// surrogate; a NUL could not go into XML, nor could libplist convert a file
// holding an empty UTF-16 text.
const char* ReadText(const PlistObjectTable& table, const PlistObject& object, std::string* utf8) {
  const auto bytes = table.Bytes(object.payloadAt, object.payloadSize);
  if (!bytes) return "a text runs past the object area";
  if (object.type == kAscii) {
    for (const char c : *bytes) {
      if (c == '\0') return "a text holds a NUL";
      if (static_cast<unsigned char>(c) > 0x7f) return "an ASCII text holds a byte above 0x7f";
    }
    if (utf8) utf8->append(*bytes);
    return nullptr;
  }
  if (object.type != kUtf16) return "a key is not a text";
  const auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>((*bytes)[2 * i]) << 8 |
                                      static_cast<unsigned char>((*bytes)[2 * i + 1]));
  };
  const std::size_t units = bytes->size() / 2;
  if (units == 0) return "a UTF-16 text is empty";
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t code = unit(i);
    if (code == 0) return "a text holds a NUL";
    if (code >= 0xdc00 && code <= 0xdfff) return "a UTF-16 text holds an unpaired surrogate";
    if (code >= 0xd800 && code <= 0xdbff) {
      if (i + 1 == units || unit(i + 1) < 0xdc00 || unit(i + 1) > 0xdfff) {
        return "a UTF-16 text holds an unpaired surrogate";
      }
      code = 0x10000 + ((code - 0xd800) << 10) + (unit(++i) - 0xdc00);
    }
    if (utf8) AppendUtf8(code, *utf8);
  }
  return nullptr;
}

// Checks leaf `object` (no array or dictionary); returns the rule it breaks,
// or null. A leaf's content is its payload as the file stores it.
const char* CheckLeaf(const PlistObjectTable& table, const PlistObject& object) {
  switch (object.type) {
    case 0x0:
      if (object.info == 0x8 || object.info == 0x9) return nullptr;  // false, true
      return object.info == 0x0   ? "a null object"
             : object.info == 0xf ? "a fill object"
                                  : "an unknown object type";
    case 0x1:  // 1 to 8 bytes, and 16 holding an unsigned 64-bit integer
      if (object.info <= 3) return nullptr;
      if (object.info == 4 && table.Unsigned(object.payloadAt, 8) == std::uint64_t{0}) {
        return nullptr;
      }
      return "an integer beyond 64 bits";
    case 0x2:
      return object.info == 2 || object.info == 3 ? nullptr : "a real of another width than 4 or 8";
    case 0x3: {
      const auto bits = object.info == 3 ? table.Unsigned(object.payloadAt, 8) : std::nullopt;
      if (!bits) return "a date of another width than 8";
      double seconds = 0;
      std::memcpy(&seconds, &*bits, sizeof seconds);
      // The comparison is false for NaN too.
      if (seconds >= kFirstDate && seconds < kPastLastDate) return nullptr;
      return "a date outside the years 1 to 9999";
    }
    case kData:
      return nullptr;
    case kAscii:
    case kUtf16:
      return ReadText(table, object, nullptr);
    case 0x8:
      if (object.info <= 7 &&
          table.Unsigned(object.payloadAt, object.info + 1u).value_or(~0ull) < (1ull << 32)) {
        return nullptr;
      }
      return "a UID of 2^32 or more";
    case 0xB:
    case 0xC:
      return "a set";
    default:
      return "an object of unknown type";
  }
}

// Per object, once walked: the deepest nesting below and including it, and
// what it costs expanded (its entries and content bytes, capped just above
// the limits).
struct Cost {
  std::uint32_t entries = 0;
  std::uint32_t bytes = 0;
  std::uint8_t height = 0;  // 0 for a leaf
  enum State : std::uint8_t { kNew, kOnPath, kDone } state = kNew;
};

std::uint32_t CappedSum(std::uint64_t a, std::uint64_t b, std::uint64_t cap) {
  return static_cast<std::uint32_t>(std::min(a + b, cap + 1));
}

// The walk of one file's object graph from one object, depth first with an
// explicit stack, each object once, the costs of shared objects summed at
// every reference to them.
class GraphCheck {
 public:
  GraphCheck(const PlistObjectTable& table, PlistRefusal* why)
      : table_(table),
        why_(why),
        costs_(static_cast<std::size_t>(table.ObjectCount())),
        goodKeys_(costs_.size(), false) {}

  // Checks the graph below `start` (a value nested `depth` deep, the root
  // dictionary at 1), its cost added to what `base` costs already (the root's
  // keys, for a single value). With `rootKeys`, `start` is the root, which
  // must be a dictionary, and its keys are listed there in file order.
  bool Run(std::uint64_t start, std::size_t depth, const Cost& base,
           std::vector<std::string>* rootKeys) {
    const auto top = table_.Read(start);
    if (!top) return Malformed(start);
    if (rootKeys != nullptr && top->type != kDictionary) {
      return Refuse(why_, "the root is not a dictionary", AtByte(top->at));
    }
    if (top->type != kArray && top->type != kDictionary) {
      if (const char* rule = CheckLeaf(table_, *top)) return Refuse(why_, rule, AtByte(top->at));
      Cost cost = base;
      return Add(cost, LeafCost(*top), false, depth) || OverLimits(top->at);
    }
    path_.push_back({start, *top, 0, base});
    path_.back().cost.height = 1;
    costs_[static_cast<std::size_t>(start)].state = Cost::kOnPath;
    while (!path_.empty()) {
      Frame& frame = path_.back();
      const bool dictionary = frame.object.type == kDictionary;
      const std::uint64_t refs = dictionary ? 2 * frame.object.count : frame.object.count;
      if (frame.next == refs) {
        // A nested dictionary naming a key twice: readers differ on which
        // value counts (the root's keys are compared by the caller).
        if (dictionary && !(rootKeys != nullptr && path_.size() == 1) &&
            !UniqueKeys(frame.object)) {
          return false;
        }
        Cost done = frame.cost;
        done.state = Cost::kDone;
        costs_[static_cast<std::size_t>(frame.index)] = done;
        const std::uint64_t at = frame.object.at;
        path_.pop_back();
        if (!path_.empty() && !Add(path_.back().cost, done, true, depth + path_.size() - 1)) {
          return OverLimits(at);
        }
        continue;
      }
      const std::uint64_t ref = frame.next++;
      const auto child = table_.Reference(frame.object, ref);
      if (!child) return Refuse(why_, "a reference names no object", AtByte(frame.object.at));
      const bool key = dictionary && ref < frame.object.count;
      const auto slot = static_cast<std::size_t>(*child);
      const bool listed = rootKeys != nullptr && path_.size() == 1;
      if (key && (listed || !goodKeys_[slot])) {
        const auto object = table_.Read(*child);
        if (!object) return Malformed(*child);
        std::string* text = listed ? &rootKeys->emplace_back() : nullptr;
        if (object->type != kAscii && object->type != kUtf16) {
          return Refuse(why_, "a dictionary key is not a text", AtByte(object->at));
        }
        if (const char* rule = ReadText(table_, *object, text)) {
          return Refuse(why_, rule, AtByte(object->at));
        }
        goodKeys_[slot] = true;
      }
      Cost& cost = costs_[slot];
      if (cost.state == Cost::kOnPath) {
        return Refuse(why_, "objects refer to each other in a loop", AtByte(frame.object.at));
      }
      if (cost.state == Cost::kNew) {
        const auto object = table_.Read(*child);
        if (!object) return Malformed(*child);
        if (object->type == kArray || object->type == kDictionary) {
          if (depth + path_.size() > kMaxPlistNesting) {
            return Refuse(why_, "nested deeper than " + std::to_string(kMaxPlistNesting),
                          AtByte(object->at), true);
          }
          cost.state = Cost::kOnPath;
          path_.push_back({*child, *object, 0, Cost{0, 0, 1, Cost::kOnPath}});
          continue;
        }
        if (const char* rule = CheckLeaf(table_, *object)) {
          return Refuse(why_, rule, AtByte(object->at));
        }
        cost = LeafCost(*object);
      }
      if (!Add(path_.back().cost, cost, !key, depth + path_.size() - 1)) {
        const auto object = table_.Read(*child);
        return OverLimits(object ? object->at : frame.object.at);
      }
    }
    return true;
  }

 private:
  // True when the keys of `dictionary`, all checked texts, differ.
  bool UniqueKeys(const PlistObject& dictionary) {
    std::vector<std::string> keys(static_cast<std::size_t>(dictionary.count));
    for (std::uint64_t i = 0; i < dictionary.count; ++i) {
      const auto ref = table_.Reference(dictionary, i);
      const auto object = ref ? table_.Read(*ref) : std::nullopt;
      if (object) ReadText(table_, *object, &keys[static_cast<std::size_t>(i)]);
    }
    std::sort(keys.begin(), keys.end());
    const auto twice = std::adjacent_find(keys.begin(), keys.end());
    if (twice == keys.end()) return true;
    return Refuse(why_, "a key is named twice in a dictionary",
                  "at key " + ShownKey(*twice) + ", " + AtByte(dictionary.at));
  }

  struct Frame {
    std::uint64_t index;
    PlistObject object;
    std::uint64_t next = 0;  // the next reference to follow
    Cost cost;
  };

  bool Malformed(std::uint64_t index) {
    return Refuse(why_, "an object lies outside the object area or its count is malformed",
                  "object " + std::to_string(index));
  }

  // Says which limit the sum of the costs broke (Add returned false).
  bool OverLimits(std::uint64_t at) {
    std::string rule;
    if (exceeded_ == Exceeded::kEntries) {
      rule = "more than " + std::to_string(kMaxPlistEntries) + " entries";
    } else if (exceeded_ == Exceeded::kBytes) {
      rule = "more than " + std::to_string(kMaxContentBytes) + " bytes of content";
    } else {
      rule = "nested deeper than " + std::to_string(kMaxPlistNesting);
    }
    return Refuse(why_, std::move(rule), AtByte(at), true);
  }

  Cost LeafCost(const PlistObject& object) const {
    const auto bytes = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(object.payloadSize, kMaxContentBytes + 1));
    return Cost{0, bytes, 0, Cost::kDone};
  }

  // Sums `child` into `cost`, a container's at nesting `depth`: as an entry
  // when `entry` (a value or an item, not a key).
  bool Add(Cost& cost, const Cost& child, bool entry, std::size_t depth) {
    cost.entries = CappedSum(cost.entries, child.entries + (entry ? 1u : 0u), kMaxPlistEntries);
    cost.bytes = CappedSum(cost.bytes, child.bytes, kMaxContentBytes);
    cost.height = std::max<std::uint8_t>(cost.height, child.height + 1);
    exceeded_ = cost.entries > kMaxPlistEntries              ? Exceeded::kEntries
                : cost.bytes > kMaxContentBytes              ? Exceeded::kBytes
                : depth - 1 + cost.height > kMaxPlistNesting ? Exceeded::kNesting
                                                             : Exceeded::kNothing;
    return exceeded_ == Exceeded::kNothing;
  }

  enum class Exceeded { kNothing, kEntries, kBytes, kNesting };

  const PlistObjectTable& table_;
  PlistRefusal* why_;
  std::vector<Cost> costs_;
  std::vector<Frame> path_;
  std::vector<bool> goodKeys_;  // key objects checked once, however often used
  Exceeded exceeded_ = Exceeded::kNothing;
};

// A file as the reader reads it: its binary form (`file` itself, or what an
// XML file converts to) and its object table.
class BinaryFile {
 public:
  // Returns false, saying why, when `file` is not a property list the store
  // reads as far as its form goes (its contents are checked by the callers).
  bool Open(std::string_view file, PlistRefusal* why) {
    if (file.size() > kMaxFileSize) {
      return Refuse(why, "larger than " + std::to_string(kMaxFileSize) + " bytes", {}, true);
    }
    if (file.substr(0, 6) != "bplist") {
      if (!CheckXmlPlist(file, why)) return false;
      if (!XmlToBinary(file, converted_)) {
        return Refuse(why, "libplist could not convert the XML");
      }
      file = converted_;
    }
    table_ = PlistObjectTable::Open(file);
    if (!table_) {
      return Refuse(why, "a malformed binary property list (its magic, trailer or offset table)");
    }
    if (table_->ObjectCount() > kMaxPlistObjects) {
      // A root of too many entries says so; other objects beyond the
      // entries' need are refused as such.
      const auto root = table_->Read(table_->TopObject());
      if (root && (root->type == kDictionary || root->type == kArray) &&
          root->count > kMaxPlistEntries) {
        return Refuse(why, "more than " + std::to_string(kMaxPlistEntries) + " entries", {}, true);
      }
      return Refuse(why, "more objects than " + std::to_string(kMaxPlistEntries) + " entries need",
                    {}, true);
    }
    return true;
  }

  const PlistObjectTable& Table() const { return *table_; }
  // True for an XML file, whose offsets in its binary form mean nothing to
  // whoever reads a refusal.
  bool Xml() const { return !converted_.empty(); }

 private:
  std::string converted_;
  std::optional<PlistObjectTable> table_;
};

// Decodes value object `index` of a checked file.
bool DecodeValue(const PlistObjectTable& table, std::uint64_t index, StoredValue& value) {
  const auto object = table.Read(index);
  if (!object) return false;
  if (object->type == kAscii || object->type == kUtf16) {
    TextValue text;
    ReadText(table, *object, &text.text);
    value = std::move(text);
    return true;
  }
  if (object->type == kData) {
    const auto bytes = table.Bytes(object->payloadAt, object->payloadSize);
    if (!bytes) return false;
    value = BytesValue{std::string(*bytes)};
    return true;
  }
  ForeignValue foreign;
  if (!WriteValueOf(table, index, foreign.plist)) return false;
  value = std::move(foreign);
  return true;
}

// The store's own layout, checked in one tight pass: a root dictionary of at
// most kMaxPlistEntries plain ASCII keys in strictly rising byte order (so
// none is named twice), each value a leaf the store accepts, and their
// content within kMaxContentBytes: kFlat, or kPacked when laid out as the
// store writes. Returns kOther for any other file, sound or not: the general
// walk then decides, and says why.
PlistLayout CheckFlat(const PlistObjectTable& table, const PlistObject& root) {
  if (root.type != kDictionary || root.count > kMaxPlistEntries) return PlistLayout::kOther;
  const std::uint64_t n = root.count;
  std::uint64_t content = 0;
  std::string_view previous;
  bool packed = table.TopObject() == 0 && root.at == PlistObjectTable::kMagicSize;
  std::uint64_t next = root.payloadAt + root.payloadSize;  // where the next object must start
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto ref = table.Reference(root, i);
    const auto object = ref ? table.Read(*ref) : std::nullopt;
    if (!object || object->type != kAscii) return PlistLayout::kOther;
    const std::string_view key = *table.Bytes(object->payloadAt, object->payloadSize);
    if ((i != 0 && key <= previous) || !IsPlainAscii(key)) return PlistLayout::kOther;
    previous = key;
    content += object->payloadSize;
    packed = packed && *ref == i + 1 && object->at == next;
    next = object->payloadAt + object->payloadSize;
  }
  const std::uint64_t keysEnd = next;
  bool inOrder = packed;  // value i is object n + 1 + i, where it must start
  for (std::uint64_t i = n; i < 2 * n; ++i) {
    const auto ref = table.Reference(root, i);
    const auto object = ref ? table.Read(*ref) : std::nullopt;
    if (!object) return PlistLayout::kOther;
    if (object->type == kAscii) {
      if (!IsPlainAscii(*table.Bytes(object->payloadAt, object->payloadSize))) {
        return PlistLayout::kOther;
      }
    } else if (object->type == kArray || object->type == kDictionary ||
               CheckLeaf(table, *object) != nullptr) {
      return PlistLayout::kOther;
    }
    content += object->payloadSize;
    packed = packed && *ref > n;
    inOrder = inOrder && *ref == i + 1 && object->at == next;
    if (inOrder) next = object->payloadAt + object->payloadSize;
  }
  if (content > kMaxContentBytes) return PlistLayout::kOther;
  if (!packed) return PlistLayout::kFlat;
  // The objects after the keys (and after the values, when in order): back
  // to back, and none a container, up to the end of the object area.
  if (!inOrder) next = keysEnd;
  for (std::uint64_t j = inOrder ? 2 * n + 1 : n + 1; j < table.ObjectCount(); ++j) {
    const auto object = table.Read(j);
    if (!object || object->at != next || object->type == kArray || object->type == kDictionary ||
        object->type == 0xB || object->type == 0xC) {
      return PlistLayout::kFlat;
    }
    next = object->payloadAt + object->payloadSize;
  }
  return next == table.ObjectAreaEnd() ? PlistLayout::kPacked : PlistLayout::kFlat;
}

// The root key at `i` of a file CheckFlat accepted.
std::string_view FlatKey(const PlistObjectTable& table, const PlistObject& root, std::uint64_t i) {
  const auto object = table.Read(*table.Reference(root, i));
  return *table.Bytes(object->payloadAt, object->payloadSize);
}

// Finds `key` in a file CheckFlat accepted: a binary search, without a copy
// of any key.
void FindFlat(const PlistObjectTable& table, const PlistObject& root, const std::string& key,
              std::optional<StoredValue>& out) {
  std::uint64_t low = 0;
  for (std::uint64_t high = root.count; low < high;) {
    const std::uint64_t middle = low + (high - low) / 2;
    if (FlatKey(table, root, middle) < key) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  StoredValue value;
  if (low < root.count && FlatKey(table, root, low) == key &&
      DecodeValue(table, *table.Reference(root, root.count + low), value)) {
    out = std::move(value);
  }
}

// Reads and checks the whole of `file`: its root keys into `keys` in file
// order (a flat file's only with `listKeys` or `out`), and, with `out`, every
// value; with `key`, the value of that key into `one` (nothing when it is
// not there).
bool ReadWhole(std::string_view file, std::vector<std::string>& keys, Dictionary* out,
               PlistRefusal* why, const std::string* key = nullptr,
               std::optional<StoredValue>* one = nullptr, PlistLayout* layout = nullptr,
               bool listKeys = true) {
  BinaryFile binary;
  if (!binary.Open(file, why)) return false;
  const PlistObjectTable& table = binary.Table();
  const auto root = table.Read(table.TopObject());
  keys.clear();
  const auto decodeAt = [&](std::uint64_t i, StoredValue& value) {
    const auto ref = table.Reference(*root, root->count + i);
    return ref && DecodeValue(table, *ref, value);
  };
  const PlistLayout found = root ? CheckFlat(table, *root) : PlistLayout::kOther;
  // A marked file that breaks its promise goes the general way, to be
  // refused for what else it breaks, or else for the promise.
  if (found != PlistLayout::kOther && (found == PlistLayout::kPacked || !table.Marked())) {
    // An XML file's binary form is not what LookUpChecked would be given.
    if (layout != nullptr) *layout = binary.Xml() ? PlistLayout::kOther : found;
    if (key != nullptr) {
      FindFlat(table, *root, *key, *one);
      if (out == nullptr) return true;
    }
    if (out == nullptr && !listKeys) return true;
    keys.reserve(static_cast<std::size_t>(root->count));
    for (std::uint64_t i = 0; i < root->count; ++i) keys.emplace_back(FlatKey(table, *root, i));
  } else {
    if (layout != nullptr) *layout = PlistLayout::kOther;
    GraphCheck check(table, why);
    if (!check.Run(table.TopObject(), 1, Cost{}, &keys)) {
      if (binary.Xml() && why != nullptr) why->where.clear();
      return false;
    }
    std::vector<std::string> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
    if (twice != sorted.end()) {
      return Refuse(why, "a key is named twice in the root dictionary",
                    "at key " + ShownKey(*twice));
    }
    if (table.Marked()) {
      return Refuse(why,
                    "the file carries the store's mark but not its layout (keys out of order or "
                    "not plain ASCII, a nested value, objects out of place)");
    }
    if (key != nullptr) {
      const auto at = std::find(keys.begin(), keys.end(), *key);
      StoredValue value;
      if (at != keys.end()) {
        if (!decodeAt(static_cast<std::uint64_t>(at - keys.begin()), value)) {
          return Refuse(why, "a value could not be copied", "at key " + ShownKey(*key));
        }
        *one = std::move(value);
      }
    }
  }
  if (out == nullptr) return true;
  out->clear();
  for (std::uint64_t i = 0; i < keys.size(); ++i) {
    StoredValue value;
    if (!decodeAt(i, value)) {
      return Refuse(why, "a value could not be copied", "at key " + ShownKey(keys[i]));
    }
    out->emplace_hint(out->end(), std::move(keys[i]), std::move(value));
  }
  return true;
}

// Comparing values of other programs, for SameValue.

// A number as a sign and a magnitude, whatever width the file gave it.
struct Number {
  bool negative = false;
  std::uint64_t magnitude = 0;
  bool operator==(const Number& other) const {
    return negative == other.negative && magnitude == other.magnitude;
  }
};

std::optional<Number> IntegerOf(const PlistObjectTable& table, const PlistObject& object) {
  // 16 bytes hold an unsigned 64-bit integer in the low half; 8 a signed one.
  const std::size_t width = object.info == 4 ? 8 : std::size_t{1} << object.info;
  const auto bits = table.Unsigned(object.payloadAt + (object.info == 4 ? 8 : 0), width);
  if (!bits) return std::nullopt;
  if (object.info == 3 && (*bits >> 63) != 0) return Number{true, ~*bits + 1};
  return Number{false, *bits};
}

std::optional<double> RealOf(const PlistObjectTable& table, const PlistObject& object) {
  const auto bits = table.Unsigned(object.payloadAt, object.payloadSize);
  if (!bits) return std::nullopt;
  if (object.payloadSize == 4) {
    float value = 0;
    const auto narrow = static_cast<std::uint32_t>(*bits);
    std::memcpy(&value, &narrow, sizeof value);
    return value;
  }
  double value = 0;
  std::memcpy(&value, &*bits, sizeof value);
  return value;
}

// Returns true when object `ia` of `a` and `ib` of `b`, of files the reader
// accepted, hold the same value: the same texts whatever their form, numbers
// of equal value whatever their width (reals and dates to the bit: -0.0 is
// not 0.0), equal data, containers of the same keys and items in order.
bool SameObject(const PlistObjectTable& a, std::uint64_t ia, const PlistObjectTable& b,
                std::uint64_t ib, std::size_t depth) {
  const auto oa = a.Read(ia);
  const auto ob = b.Read(ib);
  if (!oa || !ob || depth > kMaxPlistNesting) return false;
  const auto bytesA = a.Bytes(oa->payloadAt, oa->payloadSize);
  const auto bytesB = b.Bytes(ob->payloadAt, ob->payloadSize);
  if (!bytesA || !bytesB) return false;
  const auto isText = [](const PlistObject& object) {
    return object.type == kAscii || object.type == kUtf16;
  };
  if (isText(*oa) || isText(*ob)) {
    std::string textA;
    std::string textB;
    return isText(*oa) && isText(*ob) && ReadText(a, *oa, &textA) == nullptr &&
           ReadText(b, *ob, &textB) == nullptr && textA == textB;
  }
  if (oa->type != ob->type) return false;
  switch (oa->type) {
    case 0x1:
      return IntegerOf(a, *oa) == IntegerOf(b, *ob);
    case 0x2: {
      const auto ra = RealOf(a, *oa);
      const auto rb = RealOf(b, *ob);
      return ra && rb && std::memcmp(&*ra, &*rb, sizeof(double)) == 0;
    }
    case 0x8:
      return a.Unsigned(oa->payloadAt, oa->payloadSize) ==
             b.Unsigned(ob->payloadAt, ob->payloadSize);
    case 0xA:
    case 0xD: {
      if (oa->count != ob->count) return false;
      const std::uint64_t refs = oa->type == 0xD ? 2 * oa->count : oa->count;
      for (std::uint64_t r = 0; r < refs; ++r) {
        const auto ra = a.Reference(*oa, r);
        const auto rb = b.Reference(*ob, r);
        if (!ra || !rb || !SameObject(a, *ra, b, *rb, depth + 1)) return false;
      }
      return true;
    }
    default:  // booleans, dates and data: the same marker and bytes
      return oa->info == ob->info && *bytesA == *bytesB;
  }
}

// Appends the UTC calendar date and time of `seconds` since 2001 (within
// the years 1 to 9999, as the reader accepts) in ISO 8601.
void AppendDate(double seconds, std::string& out) {
  // To the microsecond, as other readers of the format keep dates: the
  // digits a writer meant (600000000.00001 is stored as ...00001001358...)
  // and no more. The fraction is taken apart from the whole seconds, where
  // it is exact, and rounded alone: a product with the whole value would be
  // rounded itself (by 32 at the year 9999). Years 1 to 9999 keep the
  // seconds within 64 bits.
  auto whole = static_cast<std::int64_t>(std::floor(seconds));
  auto fractionMicro =
      static_cast<std::int64_t>(std::llround((seconds - std::floor(seconds)) * 1e6));
  if (fractionMicro == 1000000) {  // rounded up to the next second
    ++whole;
    fractionMicro = 0;
  }
  // Days since 1970-01-01 to a civil date (Howard Hinnant's algorithm).
  const auto sinceUnix = whole + 978307200;
  std::int64_t days = sinceUnix >= 0 ? sinceUnix / 86400 : (sinceUnix - 86399) / 86400;
  const std::int64_t secondOfDay = sinceUnix - days * 86400;
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const std::int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const std::int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[128];  // room for any 64-bit fields, though years stay within 1 to 9999
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(secondOfDay / 3600),
                static_cast<long long>(secondOfDay / 60 % 60),
                static_cast<long long>(secondOfDay % 60));
  out += text;
  if (fractionMicro != 0) {  // 250000 gives ".25"
    char fraction[32];
    std::snprintf(fraction, sizeof fraction, ".%06lld", static_cast<long long>(fractionMicro));
    std::string_view digits(fraction);
    out += digits.substr(0, digits.find_last_not_of('0') + 1);
  }
  out += 'Z';
}

// Appends object `index` of `table`, of a value the reader accepted (so
// nested at most kMaxPlistNesting deep), as JSON.
void AppendJson(const PlistObjectTable& table, std::uint64_t index, std::string& out) {
  const auto object = table.Read(index);
  if (!object) {
    out += "null";
    return;
  }
  switch (object->type) {
    case 0x0:
      out += object->info == 0x9 ? "true" : "false";
      return;
    case 0x1: {
      const auto number = IntegerOf(table, *object);
      if (number && number->negative) out += '-';
      out += std::to_string(number ? number->magnitude : 0);
      return;
    }
    case 0x2: {
      const double real = RealOf(table, *object).value_or(0.0);
      if (std::isnan(real)) {
        out += "\"NaN\"";
      } else if (std::isinf(real)) {
        out += real > 0 ? "\"Infinity\"" : "\"-Infinity\"";
      } else {
        char text[32];
        const auto [end, error] = std::to_chars(text, text + sizeof text, real);
        const std::string_view digits(text, error == std::errc() ? end - text : 0);
        out += digits;
        // A real stays a real to a JSON reader: 1.0 and -0.0, not 1 and -0.
        if (digits.find_first_of(".e") == std::string_view::npos) out += ".0";
      }
      return;
    }
    case 0x3: {
      double seconds = 0;
      const std::uint64_t bits = table.Unsigned(object->payloadAt, 8).value_or(0);
      std::memcpy(&seconds, &bits, sizeof seconds);
      out += '"';
      AppendDate(seconds, out);
      out += '"';
      return;
    }
    case kData:
      AppendJsonHex(table.Bytes(object->payloadAt, object->payloadSize).value_or(""), out);
      return;
    case kAscii:
    case kUtf16: {
      std::string text;
      ReadText(table, *object, &text);
      AppendJsonString(text, out);
      return;
    }
    case 0x8:
      out += "{\"UID\": " +
             std::to_string(table.Unsigned(object->payloadAt, object->payloadSize).value_or(0)) +
             "}";
      return;
    case kArray:
    case kDictionary: {
      const bool dictionary = object->type == kDictionary;
      out += dictionary ? '{' : '[';
      for (std::uint64_t i = 0; i < object->count; ++i) {
        if (i != 0) out += ", ";
        if (dictionary) {
          const auto key = table.Reference(*object, i);
          const auto keyObject = key ? table.Read(*key) : std::nullopt;
          std::string text;
          if (keyObject) ReadText(table, *keyObject, &text);
          AppendJsonString(text, out);
          out += ": ";
        }
        const auto item = table.Reference(*object, dictionary ? object->count + i : i);
        if (item) {
          AppendJson(table, *item, out);
        } else {
          out += "null";
        }
      }
      out += dictionary ? '}' : ']';
      return;
    }
    default:
      out += "null";
  }
}

}  // namespace

unsigned TypeOf(const ForeignValue& value) {
  const auto table = PlistObjectTable::Open(value.plist);
  const auto top = table ? table->Read(table->TopObject()) : std::nullopt;
  return top ? top->type : 0xF;
}

namespace {

// Code points a listing shows escaped: the controls (C0, DEL, C1), the line
// and paragraph separators (line breaks to many readers), and the marks,
// embeddings, overrides and isolates of bidirectional text (which reorder
// what a terminal shows).
bool ShownEscaped(std::uint32_t code) {
  return code < 0x20 || (code >= 0x7f && code <= 0x9f) || code == 0x061c || code == 0x200e ||
         code == 0x200f || (code >= 0x2028 && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

void AppendJsonString(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const CodePoint point = DecodeUtf8(text, i);
    const std::uint32_t code = point.length == 0 ? 0xfffd : point.code;
    if (code == '"' || code == '\\') {
      out += {'\\', static_cast<char>(code)};
    } else if (code == '\n') {
      out += "\\n";
    } else if (code == '\t') {
      out += "\\t";
    } else if (code == '\r') {
      out += "\\r";
    } else if (point.length == 0 || ShownEscaped(code)) {  // not UTF-8: U+FFFD
      out += {'\\',
              'u',
              kHex[code >> 12],
              kHex[(code >> 8) & 0xf],
              kHex[(code >> 4) & 0xf],
              kHex[code & 0xf]};
    } else {
      out.append(text, i, point.length);
    }
    i += point.length == 0 ? 1 : point.length;
  }
  out += '"';
}

void AppendJsonHex(std::string_view bytes, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : bytes) out += {kHex[static_cast<unsigned char>(c) >> 4], kHex[c & 0xf]};
  out += '"';
}

std::string JsonOf(const ForeignValue& value) {
  std::string out;
  const auto table = PlistObjectTable::Open(value.plist);
  if (table) {
    AppendJson(*table, table->TopObject(), out);
  } else {
    out = "null";
  }
  return out;
}

std::string KindOf(const ForeignValue& value) {
  switch (TypeOf(value)) {
    case 0x0:
      return "a boolean";
    case 0x1:
      return "an integer";
    case 0x2:
      return "a real";
    case 0x3:
      return "a date";
    case 0x5:
    case 0x6:
      return "a text";
    case 0x8:
      return "a UID";
    case 0xA:
      return "an array";
    case 0xD:
      return "a dictionary";
    default:
      return "a value of another kind";
  }
}

bool SameValue(const StoredValue& a, const StoredValue& b) {
  if (a.index() != b.index()) return false;
  if (const auto* text = std::get_if<TextValue>(&a))
    return text->text == std::get<TextValue>(b).text;
  if (const auto* bytes = std::get_if<BytesValue>(&a)) {
    return bytes->bytes == std::get<BytesValue>(b).bytes;
  }
  const auto ta = PlistObjectTable::Open(std::get<ForeignValue>(a).plist);
  const auto tb = PlistObjectTable::Open(std::get<ForeignValue>(b).plist);
  return ta && tb && SameObject(*ta, ta->TopObject(), *tb, tb->TopObject(), 1);
}

bool DecodeDictionary(std::string_view file, Dictionary& out, PlistRefusal* why) {
  std::vector<std::string> keys;
  return ReadWhole(file, keys, &out, why);
}

bool CheckPlist(std::string_view file, PlistRefusal* why, PlistLayout* layout) {
  std::vector<std::string> keys;
  return ReadWhole(file, keys, nullptr, why, nullptr, nullptr, layout, false);
}

bool DecodeKeys(std::string_view file, std::vector<std::string>& out, PlistRefusal* why) {
  if (!ReadWhole(file, out, nullptr, why)) return false;
  std::sort(out.begin(), out.end());
  return true;
}

void LookUpChecked(std::string_view file, const std::string& key, std::optional<StoredValue>& out) {
  out.reset();
  const auto table = PlistObjectTable::Open(file);
  const auto root = table ? table->Read(table->TopObject()) : std::nullopt;
  if (root) FindFlat(*table, *root, key, out);
}

bool LookUpMarked(std::string_view file, const std::string& key, std::optional<StoredValue>& out) {
  out.reset();
  if (file.size() > kMaxContentBytes) return false;
  const auto table = PlistObjectTable::Open(file);
  if (!table || !table->Marked() || table->TopObject() != 0 ||
      table->ObjectCount() > kMaxPlistObjects) {
    return false;
  }
  const auto root = table->Read(0);
  if (!root || root->type != kDictionary || root->at != PlistObjectTable::kMagicSize ||
      root->count > kMaxPlistEntries) {
    return false;
  }
  const std::uint64_t n = root->count;
  // Object j, read only when it lies where the packed layout puts it: right
  // after object j - 1 (the root's references for the first) and right
  // before object j + 1 (the offset table for the last). An offset that
  // points elsewhere (into an object, at another one, a file cut and joined
  // to another) fails here, as the whole check would fail it.
  const auto packedAt = [&](std::uint64_t j) -> std::optional<PlistObject> {
    const auto object = j < table->ObjectCount() ? table->Read(j) : std::nullopt;
    const auto before = j > 1 ? table->Read(j - 1) : std::nullopt;
    const std::uint64_t start = j == 1   ? root->payloadAt + root->payloadSize
                                : before ? before->payloadAt + before->payloadSize
                                         : 0;
    const std::uint64_t end = object ? object->payloadAt + object->payloadSize : 0;
    const std::uint64_t next =
        j + 1 < table->ObjectCount() ? table->OffsetOf(j + 1) : table->ObjectAreaEnd();
    if (!object || object->at != start || end != next) return std::nullopt;
    return object;
  };
  // Key i, checked as CheckFlat checks it.
  const auto keyAt = [&](std::uint64_t i) -> std::optional<std::string_view> {
    const auto ref = table->Reference(*root, i);
    const auto object = ref && *ref == i + 1 ? packedAt(*ref) : std::nullopt;
    if (!object || object->type != kAscii) return std::nullopt;
    const auto text = table->Bytes(object->payloadAt, object->payloadSize);
    if (!text || !IsPlainAscii(*text)) return std::nullopt;
    return text;
  };
  // Every key before `low` that the search compared is below `key`.
  std::uint64_t low = 0;
  for (std::uint64_t high = n; low < high;) {
    const std::uint64_t middle = low + (high - low) / 2;
    const auto compared = keyAt(middle);
    if (!compared) return false;
    if (*compared < key) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low == n) return true;
  const auto there = keyAt(low);
  if (!there) return false;
  if (*there != key) return true;
  if (low + 1 < n) {
    const auto after = keyAt(low + 1);
    if (!after || *after <= key) return false;
  }
  const auto ref = table->Reference(*root, n + low);
  const auto object = ref && *ref > n ? packedAt(*ref) : std::nullopt;
  if (!object || object->type == kArray || object->type == kDictionary ||
      CheckLeaf(*table, *object) != nullptr) {
    return false;
  }
  StoredValue value;
  if (!DecodeValue(*table, *ref, value)) return false;
  out = std::move(value);
  return true;
}

bool DecodeOneValue(std::string_view file, const std::string& key, std::optional<StoredValue>& out,
                    PlistRefusal* why, PlistLayout* layout) {
  // The whole file is checked, so that a lookup fails exactly when every
  // other way of reading does; only the one value is decoded.
  out.reset();
  std::vector<std::string> keys;
  return ReadWhole(file, keys, nullptr, why, &key, &out, layout, false);
}

}  // namespace ZQ::RVL::Utils::Preferences
