#include "utils/config/store/PlistCheck.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "utils/config/store/PlistObjectTable.h"
#include "utils/config/store/PlistXmlCheck.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

// Every object of an accepted file is a key or a value below the root, or the
// root: a table of more objects holds some that no accepted file needs.
constexpr std::uint64_t kMaxObjects = 2 * std::uint64_t{kMaxPlistEntries} + 1;

// Reads a text object (0x5 ASCII, 0x6 UTF-16 big-endian) into `utf8`.
// Returns false when it is no text, holds a NUL or a byte above 0x7f (ASCII),
// or an unpaired surrogate (UTF-16): plistlib refuses the latter two, and
// libplist cannot carry a NUL over.
bool ReadText(const PlistObjectTable& table, const PlistObject& object, std::string* utf8) {
  const auto bytes = table.Bytes(object.payloadAt, object.payloadSize);
  if (!bytes) return false;
  if (object.type == 0x5) {
    for (const char c : *bytes) {
      if (c == '\0' || static_cast<unsigned char>(c) > 0x7f) return false;
    }
    if (utf8) utf8->assign(*bytes);
    return true;
  }
  if (object.type != 0x6) return false;
  const auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>((*bytes)[2 * i]) << 8 |
                                      static_cast<unsigned char>((*bytes)[2 * i + 1]));
  };
  const std::size_t units = bytes->size() / 2;
  // libplist 2.2 refuses a whole file that holds an empty UTF-16 text.
  if (units == 0) return false;
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t code = unit(i);
    if (code == 0 || (code >= 0xdc00 && code <= 0xdfff)) return false;
    if (code >= 0xd800 && code <= 0xdbff) {
      if (i + 1 == units || unit(i + 1) < 0xdc00 || unit(i + 1) > 0xdfff) return false;
      code = 0x10000 + ((code - 0xd800) << 10) + (unit(++i) - 0xdc00);
    }
    if (utf8) AppendUtf8(code, *utf8);
  }
  return true;
}

// Returns the bytes a leaf costs once parsed, or nothing when plistlib
// refuses it or libplist cannot carry it over.
std::optional<std::uint64_t> LeafCost(const PlistObjectTable& table, const PlistObject& object) {
  switch (object.type) {
    case 0x0:  // false and true; not null (0x00) or fill (0x0f)
      if (object.info == 0x8 || object.info == 0x9) return 0;
      return std::nullopt;
    case 0x1:  // integers of 1 to 8 bytes, and 16 bytes holding an unsigned 64-bit one
      if (object.info <= 3) return 8;
      if (object.info == 4 && table.Unsigned(object.payloadAt, 8) == std::uint64_t{0}) return 8;
      return std::nullopt;
    case 0x2:  // float and double
      if (object.info == 2 || object.info == 3) return 8;
      return std::nullopt;
    case 0x3: {  // seconds since 2001 as a double, within the years 1 to 9999
      const auto bits = table.Unsigned(object.payloadAt, 8);
      double seconds = 0;
      if (object.info != 3 || !bits) return std::nullopt;
      std::memcpy(&seconds, &*bits, sizeof seconds);
      if (seconds >= -63113904000.0 && seconds < 252423993599.0) return 8;
      return std::nullopt;  // plistlib refuses other dates, and NaN
    }
    case 0x4:
      return object.payloadSize;
    case 0x5:
    case 0x6:
      if (!ReadText(table, object, nullptr)) return std::nullopt;
      // libplist keeps UTF-8: up to 3 bytes for each UTF-16 unit.
      return object.type == 0x5 ? object.payloadSize : object.payloadSize / 2 * 3;
    case 0x8:
      if (object.info <= 7 &&
          table.Unsigned(object.payloadAt, object.info + 1u).value_or(~0ull) < (1ull << 32)) {
        return 8;
      }
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

// Per object, once walked: the deepest nesting below and including it, and
// what it costs expanded (its entries and bytes, capped just above the limits).
struct Cost {
  std::uint32_t entries = 0;
  std::uint32_t bytes = 0;
  std::uint8_t height = 0;  // 0 for a leaf
  enum State : std::uint8_t { kNew, kOnPath, kDone } state = kNew;
  // The bytes of data and numbers only: libplist's binary writer stores equal
  // texts once, so the store's own rewrite of a foreign XML file (or of a
  // plistlib one) may share a text far more often than the ratio allows.
  std::uint32_t unsharedBytes = 0;
};

std::uint32_t CappedSum(std::uint64_t a, std::uint64_t b, std::uint64_t cap) {
  return static_cast<std::uint32_t>(std::min(a + b, cap + 1));
}

// Walks the object graph depth first with an explicit stack, each object once,
// summing the costs of shared objects at every reference to them.
bool CheckBinary(const PlistObjectTable& table, std::size_t fileSize) {
  // Only shared objects make a file expand, and no settings file needs them
  // to expand much: the budget also follows from the file's own size.
  const std::uint64_t maxEntries = std::min<std::uint64_t>(kMaxPlistEntries, fileSize);
  const std::uint64_t maxBytes = kMaxPlistBytes;
  const std::uint64_t maxUnsharedBytes =
      std::min<std::uint64_t>(kMaxPlistBytes, kMaxPlistExpansion * std::uint64_t{fileSize});
  if (table.ObjectCount() > kMaxObjects) return false;
  std::vector<Cost> costs(static_cast<std::size_t>(table.ObjectCount()));
  std::vector<bool> goodKey(costs.size(), false);
  std::vector<std::string> rootKeys;

  struct Frame {
    std::uint64_t index;
    PlistObject object;
    std::uint64_t next = 0;  // the next reference to follow
    Cost cost;
  };
  std::vector<Frame> path;
  // Sums `child` into the innermost frame: `value` when it is a value or an
  // item, not a key.
  const auto add = [&](const Cost& child, bool value) {
    Cost& cost = path.back().cost;
    cost.entries = CappedSum(cost.entries, child.entries + (value ? 1u : 0u), maxEntries);
    cost.bytes = CappedSum(cost.bytes, child.bytes, maxBytes);
    cost.unsharedBytes = CappedSum(cost.unsharedBytes, child.unsharedBytes, maxUnsharedBytes);
    cost.height = std::max<std::uint8_t>(cost.height, child.height + 1);
    return cost.entries <= maxEntries && cost.bytes <= maxBytes &&
           cost.unsharedBytes <= maxUnsharedBytes &&
           path.size() - 1 + cost.height <= kMaxPlistNesting;
  };

  const auto top = table.Read(table.TopObject());
  if (!top || top->type != 0xD) return false;
  path.push_back({table.TopObject(), *top, 0, Cost{0, 0, 1, Cost::kOnPath}});
  costs[static_cast<std::size_t>(table.TopObject())].state = Cost::kOnPath;
  while (!path.empty()) {
    Frame& frame = path.back();
    const bool dictionary = frame.object.type == 0xD;
    const std::uint64_t refs = dictionary ? 2 * frame.object.count : frame.object.count;
    if (frame.next == refs) {
      Cost done = frame.cost;
      done.state = Cost::kDone;
      costs[static_cast<std::size_t>(frame.index)] = done;
      path.pop_back();
      if (!path.empty() && !add(done, true)) return false;
      continue;
    }
    const std::uint64_t at = frame.next++;
    const auto child = table.Reference(frame.object, at);
    if (!child) return false;
    const bool key = dictionary && at < frame.object.count;
    const auto slot = static_cast<std::size_t>(*child);
    if (key && (!goodKey[slot] || path.size() == 1)) {
      // Keys are texts without a NUL (libplist aborts on any other), each
      // read once however often it is referred to, and the root's each once:
      // it becomes a map, where a key named twice would lose a value.
      const auto object = table.Read(*child);
      if (!object) return false;
      std::string* text = nullptr;
      if (path.size() == 1) text = &rootKeys.emplace_back();
      if (!ReadText(table, *object, text)) return false;
      goodKey[slot] = true;
    }
    Cost& cost = costs[slot];
    if (cost.state == Cost::kOnPath) return false;  // a loop
    if (cost.state == Cost::kNew) {
      const auto object = table.Read(*child);
      if (!object) return false;
      if (object->type == 0xA || object->type == 0xD) {
        if (path.size() >= kMaxPlistNesting) return false;
        cost.state = Cost::kOnPath;
        path.push_back({*child, *object, 0, Cost{0, 0, 1, Cost::kOnPath}});
        continue;
      }
      const auto bytes = LeafCost(table, *object);
      if (!bytes) return false;
      const auto capped = static_cast<std::uint32_t>(std::min<std::uint64_t>(*bytes, maxBytes + 1));
      const bool text = object->type == 0x5 || object->type == 0x6;
      cost = Cost{0, capped, 0, Cost::kDone, text ? 0 : capped};
    }
    if (!add(cost, !key)) return false;
  }
  // The store's own files list the root's keys in order: no sort to find a
  // key named twice.
  if (std::adjacent_find(rootKeys.begin(), rootKeys.end(), std::greater_equal<>()) ==
      rootKeys.end()) {
    return true;
  }
  std::sort(rootKeys.begin(), rootKeys.end());
  return std::adjacent_find(rootKeys.begin(), rootKeys.end()) == rootKeys.end();
}

// Returns the element name of the root value of an XML property list ("dict",
// "array"...), or nothing when no <plist> element opens the file.
std::optional<std::string_view> XmlRootElement(std::string_view file) {
  const std::size_t plist = file.find("<plist");
  if (plist == std::string_view::npos) return std::nullopt;
  std::size_t at = file.find('>', plist);
  while (at != std::string_view::npos) {
    at = file.find_first_not_of(" \t\r\n", at + 1);
    if (at == std::string_view::npos || file[at] != '<') return std::nullopt;
    if (file.substr(at, 4) != "<!--") break;
    at = file.find("-->", at);
    if (at != std::string_view::npos) at += 2;
  }
  if (at == std::string_view::npos) return std::nullopt;
  const std::size_t end = file.find_first_of(" \t\r\n/>", at + 1);
  // A file may end inside the name; a name that is not a short word is not
  // echoed back.
  const std::string_view name = file.substr(at + 1, end - at - 1);
  const bool word = std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
  return word && !name.empty() && name.size() <= 16 ? name : "?";
}

}  // namespace

std::string DescribeRefusal(std::string_view file) {
  if (CheckPlist(file)) return {};
  if (file.size() > kMaxPlistBytes) {
    return "it is larger than " + std::to_string(kMaxPlistBytes >> 20) +
           " MiB, the most a settings file may be";
  }
  std::optional<std::string> root;
  if (const auto table = PlistObjectTable::Open(file)) {
    const auto top = table->Read(table->TopObject());
    if (!top) return "it is a damaged binary property list";
    if (top->type != 0xD) root = "an object of type " + std::to_string(top->type);
  } else if (file.substr(0, 6) == "bplist") {
    return "it is a damaged binary property list";
  } else if (const auto element = XmlRootElement(file)) {
    if (*element != "dict") {
      root =
          *element == "?" ? std::string("no element it knows") : "<" + std::string(*element) + ">";
    }
  } else {
    return "it is not a property list (neither binary \"bplist00\" nor XML with <plist>)";
  }
  if (root) return "its root is " + *root + ", not a dictionary";
  return "the settings store would treat it as damaged: it breaks the property-list rules, "
         "holds a value the store cannot keep unchanged (a text with a NUL, a null, a UID of "
         "2^32 or more, a non-canonical XML number...) or names a key twice, or it goes beyond " +
         std::to_string(kMaxPlistEntries) + " entries, " + std::to_string(kMaxPlistBytes >> 20) +
         " MiB or " + std::to_string(kMaxPlistNesting) +
         " levels of nesting, or its XML references cost too much to decode (see "
         "doc/preferences-layout.md)";
}

void AppendUtf8(std::uint32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
    return;
  }
  char buffer[4];
  const std::size_t n = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
  for (std::size_t i = n; i-- > 1;) {
    buffer[i] = static_cast<char>(0x80 | (code & 0x3f));
    code >>= 6;
  }
  buffer[0] = static_cast<char>((0xf00u >> n) | code);
  out.append(buffer, n);
}

bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    std::uint32_t min = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xe0) == 0xc0) {
      extra = 1, min = 0x80, code = lead & 0x1fu;
    } else if ((lead & 0xf0) == 0xe0) {
      extra = 2, min = 0x800, code = lead & 0x0fu;
    } else if ((lead & 0xf8) == 0xf0) {
      extra = 3, min = 0x10000, code = lead & 0x07u;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code = code << 6 | (next & 0x3fu);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
    i += extra + 1;
  }
  return true;
}

bool CheckPlist(std::string_view file, PlistRefusal* why) {
  if (file.size() > kMaxPlistBytes) {
    if (why) *why = {true, "larger than " + std::to_string(kMaxPlistBytes >> 20) + " MiB", {}};
    return false;
  }
  bool binary = false;
  if (const auto table = PlistObjectTable::Open(file)) {
    binary = CheckBinary(*table, file.size());
  } else if (file.substr(0, 6) != "bplist") {
    return CheckXmlPlist(file, why);
  }
  if (!binary && why) *why = {false, "a binary property list the store does not read", {}};
  return binary;
}

}  // namespace ZQ::RVL::Utils::Preferences
