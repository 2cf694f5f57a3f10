#include "utils/config/store/PlistCodec.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "utils/config/store/PlistBinaryWriter.h"
#include "utils/config/store/PlistCheck.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

// libplist 2.2 hands out malloc'd strings, buffers and iterators for the caller
// to free(); its own plist_*_free helpers came later.
struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
using MallocPtr = std::unique_ptr<char, FreeDeleter>;

struct NodeDeleter {
  void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using NodePtr = std::unique_ptr<void, NodeDeleter>;

bool FitsLibplistLength(std::size_t size) {
  return size <= std::numeric_limits<std::uint32_t>::max();
}

// Calls `visit(key, node)` for each entry of `dictionary` in file order until
// it returns false. Returns false when a visit or libplist fails.
template <typename Visit>
bool ForEachEntry(plist_t dictionary, Visit visit) {
  plist_dict_iter rawIter = nullptr;
  plist_dict_new_iter(dictionary, &rawIter);
  const std::unique_ptr<void, FreeDeleter> iter(rawIter);
  if (!iter) return false;
  for (;;) {
    char* rawKey = nullptr;
    plist_t node = nullptr;
    plist_dict_next_item(dictionary, rawIter, &rawKey, &node);
    const MallocPtr key(rawKey);
    if (!node) return true;
    if (!key || !visit(key.get(), node)) return false;
  }
}

bool Encode(plist_t node, PlistFormat format, std::string& out) {
  char* raw = nullptr;
  std::uint32_t length = 0;
  if (format == PlistFormat::kXml) {
    plist_to_xml(node, &raw, &length);
  } else {
    plist_to_bin(node, &raw, &length);
  }
  MallocPtr owned(raw);
  if (!owned) return false;
  out.assign(owned.get(), length);
  return true;
}

// Returns true when the trees `a` and `b` hold the same values: containers of
// the same keys and items, leaves whose binary forms are equal. Not the
// binary forms of the whole trees: libplist 2.2 stores equal data objects
// once or not at random (it depends on where they lie in memory), so two
// encodings of one tree may differ. Nesting is at most kMaxPlistNesting.
bool SameTree(plist_t a, plist_t b) {
  const plist_type type = plist_get_node_type(a);
  if (type != plist_get_node_type(b)) return false;
  if (type == PLIST_ARRAY) {
    const std::uint32_t size = plist_array_get_size(a);
    if (size != plist_array_get_size(b)) return false;
    for (std::uint32_t i = 0; i < size; ++i) {
      if (!SameTree(plist_array_get_item(a, i), plist_array_get_item(b, i))) return false;
    }
    return true;
  }
  if (type == PLIST_DICT) {
    if (plist_dict_get_size(a) != plist_dict_get_size(b)) return false;
    std::vector<std::pair<std::string, plist_t>> items;
    if (!ForEachEntry(a, [&](const char* key, plist_t node) {
          items.emplace_back(key, node);
          return true;
        })) {
      return false;
    }
    std::size_t i = 0;
    return ForEachEntry(b,
                        [&](const char* key, plist_t node) {
                          return i < items.size() && items[i].first == key &&
                                 SameTree(items[i++].second, node);
                        }) &&
           i == items.size();
  }
  std::string left;
  std::string right;
  return Encode(a, PlistFormat::kBinary, left) && Encode(b, PlistFormat::kBinary, right) &&
         left == right;
}

// Returns true when `xml`, libplist's XML for `node`, reads back as `node`.
// XML cannot carry every value: libplist writes a date without its fractions
// of a second, -0.0 as 0.0, an infinity as "+infinity", a year before 1000 in
// fewer than four digits, and a carriage return or control character in a text
// as it is.
bool ReadsBack(plist_t node, const std::string& xml) {
  // CheckPlist refuses U+FFFE and U+FFFF, which libplist writes as they
  // are: they are no XML characters, and plistlib refuses the whole file.
  if (!FitsLibplistLength(xml.size()) || !CheckPlist(xml)) return false;
  plist_t raw = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &raw);
  const NodePtr back(raw);
  return back && SameTree(node, back.get());
}

bool DecodeValue(plist_t node, StoredValue& value) {
  // CheckPlist let through only values that libplist writes back as it read
  // them: texts are UTF-8 without a NUL.
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      // The pointer form: plist_get_string_val() aborts on a string that
      // holds a NUL.
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      if (text == nullptr) return false;
      value = {ValueKind::kText, std::string(text, static_cast<std::size_t>(length)), {}};
      return true;
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      if (bytes == nullptr && length != 0) return false;
      value.kind = ValueKind::kBytes;
      value.bytes.assign(bytes ? bytes : "", static_cast<std::size_t>(length));
      return true;
    }
    default:
      break;
  }
  value = {ValueKind::kOther, {}, {}};
  return Encode(node, PlistFormat::kBinary, value.original);
}

// Returns a new node for `value`, or null.
plist_t EncodeValue(const StoredValue& value) {
  if (!value.original.empty()) {
    if (!FitsLibplistLength(value.original.size())) return nullptr;
    plist_t node = nullptr;
    plist_from_bin(value.original.data(), static_cast<std::uint32_t>(value.original.size()), &node);
    return node;
  }
  switch (value.kind) {
    case ValueKind::kText:
      // libplist 2.2 writes texts only up to a NUL; one with a NUL inside
      // (read from another program's file) is not cut short but refused.
      if (value.bytes.find('\0') != std::string::npos || !IsUtf8(value.bytes)) return nullptr;
      return plist_new_string(value.bytes.c_str());
    case ValueKind::kBytes:
      return plist_new_data(value.bytes.data(), value.bytes.size());
    case ValueKind::kOther:
      break;
  }
  return nullptr;
}

// Parses `file`; null unless it is a property list whose root is a dictionary.
NodePtr ParseDictionary(std::string_view file) {
  if (file.empty() || !FitsLibplistLength(file.size()) || !CheckPlist(file)) return nullptr;
  plist_t raw = nullptr;
  plist_from_memory(file.data(), static_cast<std::uint32_t>(file.size()), &raw);
  NodePtr root(raw);
  if (!root || plist_get_node_type(raw) != PLIST_DICT) return nullptr;
  return root;
}

}  // namespace

bool DecodeDictionary(std::string_view file, Dictionary& out) {
  const NodePtr root = ParseDictionary(file);
  if (!root) return false;
  out.clear();
  return ForEachEntry(root.get(), [&](const char* key, plist_t node) {
    StoredValue value;
    if (!DecodeValue(node, value)) return false;
    // Entries come in file order, which is key order in our own files; no key
    // is named twice (CheckPlist).
    out.emplace_hint(out.end(), key, std::move(value));
    return true;
  });
}

bool DecodeOneValue(std::string_view file, const std::string& key,
                    std::optional<StoredValue>& out) {
  const NodePtr root = ParseDictionary(file);
  if (!root) return false;
  out.reset();
  // Looks the key up in libplist's tree: cheaper than converting every entry.
  if (plist_t node = plist_dict_get_item(root.get(), key.c_str())) {
    StoredValue value;
    if (!DecodeValue(node, value)) return false;
    out = std::move(value);
  }
  return true;
}

bool DecodeKeys(std::string_view file, std::vector<std::string>& out) {
  const NodePtr root = ParseDictionary(file);
  if (!root) return false;
  out.clear();
  const bool ok = ForEachEntry(root.get(), [&](const char* key, plist_t) {
    out.emplace_back(key);
    return true;
  });
  std::sort(out.begin(), out.end());
  // A file of another program may name a key twice.
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return ok;
}

bool EncodeDictionary(const Dictionary& dictionary, std::string& out, PlistFormat format) {
  // What the store writes it must accept when it reads the file back.
  if (format == PlistFormat::kBinary)
    return WriteBinaryDictionary(dictionary, out) && CheckPlist(out);
  NodePtr root(plist_new_dict());
  if (!root) return false;
  for (const auto& [key, value] : dictionary) {
    if (!IsUtf8(key)) return false;  // libplist would write another key
    plist_t node = EncodeValue(value);
    if (!node) return false;
    // The dictionary takes ownership of `node`.
    plist_dict_set_item(root.get(), key.c_str(), node);
  }
  return Encode(root.get(), format, out) && ReadsBack(root.get(), out);
}

}  // namespace ZQ::RVL::Utils::Preferences
