// The preferences file loader on arbitrary bytes (binary and XML property
// lists). Whatever loads agrees with itself: the key list is the dictionary's
// keys, a single-key lookup finds the value the whole load found, and the
// dictionary encodes and loads back to the same values, those of other kinds
// included. Run with -timeout=2 and an RSS limit: a small file that expands to
// a large tree is a finding.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "utils/config/store/PlistCheck.h"
#include "utils/config/store/PlistCodec.h"

namespace P = ZQ::RVL::Utils::Preferences;

namespace {

// Values of other kinds are compared by presence only: libplist's binary
// writer does not lay equal values out alike every time (how it merges shared
// objects depends on addresses). PlistlibCrossCheckTest compares their values.
bool Same(const P::StoredValue& a, const P::StoredValue& b) {
  return a.kind == b.kind && a.bytes == b.bytes && a.original.empty() == b.original.empty();
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

  for (const auto& [key, value] : dictionary) {
    std::optional<P::StoredValue> one;
    if (!P::DecodeOneValue(file, key, one)) zqfuzz::Fail("a single-key lookup failed");
    if (!one || !Same(*one, value)) zqfuzz::Fail("a single-key lookup found another value");
  }

  std::string encoded;
  // Only a file near the size limit may encode to one beyond it.
  if (!P::EncodeDictionary(dictionary, encoded)) {
    if (size < P::kMaxPlistBytes / 2) zqfuzz::Fail("a loaded dictionary does not encode");
    return 0;
  }
  P::Dictionary again;
  if (!P::DecodeDictionary(encoded, again)) zqfuzz::Fail("an encoded dictionary does not load");
  if (again.size() != dictionary.size()) zqfuzz::Fail("keys were lost on the way back");
  for (auto a = again.begin(), b = dictionary.begin(); a != again.end(); ++a, ++b) {
    if (a->first != b->first) zqfuzz::Fail("a key changed on the way back");
    if (a->second.kind != b->second.kind) zqfuzz::Fail("a value changed its kind on the way back");
    if (!Same(a->second, b->second)) zqfuzz::Fail("a value changed on the way back");
  }
  return 0;
}
