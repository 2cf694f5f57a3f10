#include "utils/config/PlistCodec.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>

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
      char* raw = nullptr;
      plist_get_string_val(node, &raw);
      MallocPtr owned(raw);
      if (!owned) return false;
      value = {ValueKind::kText, owned.get()};
      return true;
    }
    case PLIST_DATA: {
      char* raw = nullptr;
      std::uint64_t length = 0;
      plist_get_data_val(node, &raw, &length);
      MallocPtr owned(raw);
      if (!owned && length != 0) return false;
      value.kind = ValueKind::kBytes;
      value.bytes.assign(owned ? owned.get() : "", static_cast<std::size_t>(length));
      return true;
    }
    default:
      value.kind = ValueKind::kOther;
      return ToBinary(node, value.bytes);
  }
}

// Returns a new node for `value`, or null.
plist_t EncodeValue(const StoredValue& value) {
  switch (value.kind) {
    case ValueKind::kText:
      return plist_new_string(value.bytes.c_str());
    case ValueKind::kBytes:
      return plist_new_data(value.bytes.data(), value.bytes.size());
    case ValueKind::kOther: {
      if (!FitsLibplistLength(value.bytes.size())) return nullptr;
      plist_t node = nullptr;
      plist_from_bin(value.bytes.data(), static_cast<std::uint32_t>(value.bytes.size()), &node);
      return node;
    }
  }
  return nullptr;
}

}  // namespace

bool DecodeDictionary(std::string_view file, Dictionary& out) {
  if (file.empty() || !FitsLibplistLength(file.size())) return false;
  plist_t raw = nullptr;
  plist_from_memory(file.data(), static_cast<std::uint32_t>(file.size()), &raw);
  NodePtr root(raw);
  if (!root || plist_get_node_type(raw) != PLIST_DICT) return false;

  plist_dict_iter rawIter = nullptr;
  plist_dict_new_iter(raw, &rawIter);
  std::unique_ptr<void, FreeDeleter> iter(rawIter);
  if (!iter) return false;

  out.clear();
  for (;;) {
    char* rawKey = nullptr;
    plist_t node = nullptr;
    plist_dict_next_item(raw, rawIter, &rawKey, &node);
    MallocPtr key(rawKey);
    if (!node) break;
    if (!key) return false;
    StoredValue value;
    if (!DecodeValue(node, value)) return false;
    out[key.get()] = std::move(value);
  }
  return true;
}

bool EncodeDictionary(const Dictionary& dictionary, std::string& out) {
  NodePtr root(plist_new_dict());
  if (!root) return false;
  for (const auto& [key, value] : dictionary) {
    plist_t node = EncodeValue(value);
    if (!node) return false;
    // The dictionary takes ownership of `node`.
    plist_dict_set_item(root.get(), key.c_str(), node);
  }
  return ToBinary(root.get(), out);
}

}  // namespace ZQ::RVL::Utils::Preferences
