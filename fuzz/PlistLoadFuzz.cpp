// The preferences file loader on arbitrary bytes (binary and XML property
// lists). Whatever loads agrees with itself: the key list is the dictionary's
// keys, a single-key lookup finds the value the whole load found, and a
// dictionary of texts and bytes encodes and loads back to the same values.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "utils/config/store/PlistCodec.h"

namespace P = ZQ::RVL::Utils::Preferences;

namespace {

bool Same(const P::StoredValue& a, const P::StoredValue& b) {
  return a.kind == b.kind && a.bytes == b.bytes && a.original == b.original;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  P::Dictionary dictionary;
  const bool loaded = P::DecodeDictionary(file, dictionary);
  std::vector<std::string> keys;
  const bool listed = P::DecodeKeys(file, keys);
  if (!loaded) return 0;
  if (!listed) zqfuzz::Fail("the keys of a loaded dictionary cannot be listed");

  std::vector<std::string> loadedKeys;
  for (const auto& entry : dictionary) loadedKeys.push_back(entry.first);
  if (keys != loadedKeys) zqfuzz::Fail("the key list differs from the loaded dictionary");

  bool encodable = true;
  for (const auto& [key, value] : dictionary) {
    std::optional<P::StoredValue> one;
    if (!P::DecodeOneValue(file, key, one)) zqfuzz::Fail("a single-key lookup failed");
    if (!one || !Same(*one, value)) zqfuzz::Fail("a single-key lookup found another value");
    // EncodeDictionary refuses, as documented, a text with a NUL, a foreign
    // value it cannot write back unchanged, and a key that is not UTF-8
    // (approximated here by any byte above 0x7f).
    if ((value.kind == P::ValueKind::kText && value.bytes.find('\0') != std::string::npos) ||
        (value.kind == P::ValueKind::kOther && value.original.empty())) {
      encodable = false;
    }
    for (const char c : key) encodable = encodable && static_cast<unsigned char>(c) < 0x80;
  }

  std::string encoded;
  if (!P::EncodeDictionary(dictionary, encoded)) {
    if (encodable) zqfuzz::Fail("a loaded dictionary does not encode");
    return 0;
  }
  P::Dictionary again;
  if (!P::DecodeDictionary(encoded, again)) zqfuzz::Fail("an encoded dictionary does not load");
  if (again.size() != dictionary.size()) zqfuzz::Fail("keys were lost on the way back");
  for (auto a = again.begin(), b = dictionary.begin(); a != again.end(); ++a, ++b) {
    if (a->first != b->first) zqfuzz::Fail("a key changed on the way back");
    if (a->second.kind != b->second.kind) zqfuzz::Fail("a value changed its kind on the way back");
    if (a->second.kind != P::ValueKind::kOther && a->second.bytes != b->second.bytes) {
      zqfuzz::Fail("a text or bytes value changed on the way back");
    }
  }
  return 0;
}
