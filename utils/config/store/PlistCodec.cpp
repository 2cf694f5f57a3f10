#include "utils/config/store/PlistCodec.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>

#include "utils/config/store/PlistNesting.h"

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

// Returns true when `text` is well-formed UTF-8 (shortest forms, no
// surrogates, nothing above U+10FFFF). libplist's binary writer converts
// every non-ASCII text to UTF-16 as if it were UTF-8, so any other text would
// come back altered from a write.
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

// Returns true when every text and key in `node` and below it is UTF-8, so
// that libplist writes the value back as it read it. The nesting is bounded
// by kMaxPlistNesting, checked before parsing.
bool WritesBackUnchanged(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return text != nullptr && IsUtf8(std::string_view(text, static_cast<std::size_t>(length)));
    }
    case PLIST_ARRAY:
      for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i) {
        if (!WritesBackUnchanged(plist_array_get_item(node, i))) return false;
      }
      return true;
    case PLIST_DICT:
      return ForEachEntry(node, [](const char* key, plist_t item) {
        return IsUtf8(key) && WritesBackUnchanged(item);
      });
    default:
      return true;
  }
}

bool ToBinary(plist_t node, std::string& out) {
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(node, &raw, &length);
  MallocPtr owned(raw);
  if (!owned) return false;
  out.assign(owned.get(), length);
  return true;
}

bool DecodeValue(plist_t node, StoredValue& value) {
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      // The pointer form: plist_get_string_val() aborts on a string that
      // holds a NUL, which any file can contain.
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      if (text == nullptr) return false;
      value = {ValueKind::kText, std::string(text, static_cast<std::size_t>(length)), {}};
      // Another program's text that libplist would alter on the way back
      // stays unreadable and makes the dictionary unwritable (see
      // EncodeValue) rather than being changed by our next write.
      if (!IsUtf8(value.bytes)) value = {ValueKind::kOther, {}, {}};
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
  // Left without its original, such a value cannot be written back.
  if (!WritesBackUnchanged(node)) return true;
  return ToBinary(node, value.original);
}

// Returns a new node for `value`, or null (also for a value of another
// program that libplist would not write back unchanged).
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
      if (value.bytes.find('\0') != std::string::npos) return nullptr;
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
  if (file.empty() || !FitsLibplistLength(file.size()) || !NestingWithin(file, kMaxPlistNesting)) {
    return nullptr;
  }
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
    // Entries come in file order, which is key order in our own files. Of a
    // key named twice (only another program writes that) the first counts,
    // as in DecodeOneValue.
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

bool EncodeDictionary(const Dictionary& dictionary, std::string& out) {
  NodePtr root(plist_new_dict());
  if (!root) return false;
  for (const auto& [key, value] : dictionary) {
    if (!IsUtf8(key)) return false;  // libplist would write another key
    plist_t node = EncodeValue(value);
    if (!node) return false;
    // The dictionary takes ownership of `node`.
    plist_dict_set_item(root.get(), key.c_str(), node);
  }
  return ToBinary(root.get(), out);
}

}  // namespace ZQ::RVL::Utils::Preferences
