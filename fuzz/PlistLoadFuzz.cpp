// The store's reader on arbitrary bytes (binary and XML property lists).
// Every way of reading gives the one verdict: the whole decode, the check and
// the key list accept and refuse alike, a refusal names its rule, a lookup of
// each key finds the value the whole decode found (so does a search of a
// checked file in the store's own layout, and so does the search of a marked
// file that reads only its path), a packed file spliced with one edit reads
// back as that edit made to the whole decode, and what was accepted
// encodes and reads back to the same values, those of other programs
// included. Run with -timeout=2 and an RSS limit: a small file that expands
// to a large tree is a finding.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "utils/config/store/PlistBinaryWriter.h"
#include "utils/config/store/PlistCodec.h"

namespace P = ZQ::RVL::Utils::Preferences;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  P::Dictionary dictionary;
  P::PlistRefusal why;
  const bool loaded = P::DecodeDictionary(file, dictionary, &why);
  std::vector<std::string> keys;
  P::PlistRefusal keysWhy;
  if (P::DecodeKeys(file, keys, &keysWhy) != loaded || P::CheckPlist(file) != loaded) {
    zqfuzz::Fail("the whole decode, the key list and the check disagree");
  }
  if (!loaded) {
    if (why.rule.empty() || why.Text() != keysWhy.Text())
      zqfuzz::Fail("a refusal without its rule");
    return 0;
  }

  std::vector<std::string> loadedKeys;
  for (const auto& entry : dictionary) loadedKeys.push_back(entry.first);
  if (keys != loadedKeys) zqfuzz::Fail("the key list differs from the loaded dictionary");

  for (const auto& [key, value] : dictionary) {
    std::optional<P::StoredValue> one;
    P::PlistLayout layout = P::PlistLayout::kOther;
    if (!P::DecodeOneValue(file, key, one, nullptr, &layout)) {
      zqfuzz::Fail("a single-key lookup failed");
    }
    if (!one || !P::SameValue(*one, value)) zqfuzz::Fail("a single-key lookup found another value");
    if (layout != P::PlistLayout::kOther) {
      std::optional<P::StoredValue> again;
      P::LookUpChecked(file, key, again);
      if (!again || !P::SameValue(*again, value)) zqfuzz::Fail("a search without a check differs");
    }
    std::optional<P::StoredValue> marked;
    if (P::LookUpMarked(file, key, marked) && (!marked || !P::SameValue(*marked, value))) {
      zqfuzz::Fail("the search of a marked file differs");
    }
  }
  std::optional<P::StoredValue> missing;
  if (P::LookUpMarked(file, "\x7f-no such key", missing) &&
      missing.has_value() != (dictionary.count("\x7f-no such key") != 0)) {
    zqfuzz::Fail("the search of a marked file disagrees on a missing key");
  }
  P::PlistLayout layout = P::PlistLayout::kOther;
  P::CheckPlist(file, nullptr, &layout);
  if (layout == P::PlistLayout::kPacked) {
    // Each edit the store makes to one entry: a new key, a key's new text,
    // a key removed.
    const std::string first = dictionary.empty() ? std::string("a") : dictionary.begin()->first;
    const P::StoredValue text = P::TextValue{"spliced"};
    const P::StoredValue bytes = P::BytesValue{std::string("\0\xff", 2)};
    const P::EntryEdit edits[] = {{first, &text}, {first + "~", &bytes}, {first, nullptr}};
    for (const P::EntryEdit& edit : edits) {
      P::Dictionary expected = dictionary;
      if (edit.value != nullptr) {
        expected[edit.key] = *edit.value;
      } else {
        expected.erase(edit.key);
      }
      std::string spliced;
      if (P::SplicePacked(file, edit, spliced) != P::Splice::kDone) continue;
      P::Dictionary back;
      P::PlistLayout splicedLayout = P::PlistLayout::kOther;
      if (!P::CheckPlist(spliced, nullptr, &splicedLayout) || !P::DecodeDictionary(spliced, back) ||
          splicedLayout != P::PlistLayout::kPacked) {
        zqfuzz::Fail("a spliced file is refused or not packed");
      }
      if (back.size() != expected.size()) zqfuzz::Fail("a splice lost or gained keys");
      for (auto a = back.begin(), b = expected.begin(); a != back.end(); ++a, ++b) {
        if (a->first != b->first || !P::SameValue(a->second, b->second)) {
          zqfuzz::Fail("a splice changed another entry");
        }
      }
    }
  }
  std::optional<P::StoredValue> none;
  if (!P::DecodeOneValue(file, "\x7f-no such key", none) ||
      (none.has_value() != (dictionary.count("\x7f-no such key") != 0))) {
    zqfuzz::Fail("a lookup of a missing key disagrees with the whole decode");
  }

  std::string encoded;
  P::PlistRefusal encodeWhy;
  if (!P::EncodeDictionary(dictionary, encoded, P::PlistFormat::kBinary, &encodeWhy)) {
    zqfuzz::Fail(("an accepted dictionary does not encode: " + encodeWhy.Text()).c_str());
  }
  P::Dictionary again;
  if (!P::DecodeDictionary(encoded, again)) zqfuzz::Fail("an encoded dictionary does not load");
  if (again.size() != dictionary.size()) zqfuzz::Fail("keys were lost on the way back");
  for (auto a = again.begin(), b = dictionary.begin(); a != again.end(); ++a, ++b) {
    if (a->first != b->first) zqfuzz::Fail("a key changed on the way back");
    if (!P::SameValue(a->second, b->second)) zqfuzz::Fail("a value changed on the way back");
  }
  return 0;
}
