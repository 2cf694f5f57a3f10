// Encoding a dictionary: the store's binary writer, and for XML its result
// converted by libplist and read back, since XML cannot carry every value.
// (Decoding is PlistReader.cpp.)
#include "utils/config/store/PlistCodec.h"

#include <string>
#include <utility>

#include "utils/config/store/PlistBinaryWriter.h"
#include "utils/config/store/PlistXml.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

bool Refuse(PlistRefusal* why, std::string rule, bool overLimits = false) {
  if (why != nullptr) *why = PlistRefusal{overLimits, std::move(rule), {}};
  return false;
}

}  // namespace

bool EncodeDictionary(const Dictionary& dictionary, std::string& out, PlistFormat format,
                      PlistRefusal* why, PlistLayout* layout) {
  std::string binary;
  if (!WriteBinaryDictionary(dictionary, binary)) {
    return Refuse(why, "a key or text holds a NUL or is not UTF-8");
  }
  // What the store writes it must accept when it reads the file back.
  if (!CheckPlist(binary, why, layout)) {
    if (why != nullptr)
      *why = {why->overLimits, "the new file would break a rule: " + why->rule, {}};
    return false;
  }
  if (format == PlistFormat::kBinary) {
    out = std::move(binary);
    return true;
  }
  if (!BinaryToXml(binary, out)) return Refuse(why, "libplist could not convert it to XML");
  // U+FFFE and U+FFFF, which libplist writes as they are, are no XML
  // characters: plistlib and other XML readers refuse the whole file.
  if (out.find("\xef\xbf\xbe") != std::string::npos ||
      out.find("\xef\xbf\xbf") != std::string::npos) {
    return Refuse(why, "a text holds U+FFFE or U+FFFF, which XML cannot carry");
  }
  Dictionary back;
  PlistRefusal backWhy;
  if (!DecodeDictionary(out, back, &backWhy)) {
    return Refuse(why,
                  backWhy.overLimits
                      ? "its XML would break a limit: " + backWhy.Text()
                      : "a value cannot go into XML unchanged (a date before the year 1000 or "
                        "with fractions of a second, -0.0, an infinity, a UID, a carriage return "
                        "or control character in a text)",
                  backWhy.overLimits);
  }
  if (back.size() != dictionary.size()) return Refuse(why, "its XML would not read back whole");
  auto b = back.cbegin();
  for (auto a = dictionary.cbegin(); a != dictionary.cend(); ++a, ++b) {
    if (a->first != b->first || !SameValue(a->second, b->second)) {
      return Refuse(why, "the value of key " + ShownKey(a->first) +
                             " would read back otherwise from XML (a date with fractions of a "
                             "second, -0.0, an infinity, a UID, a carriage return or control "
                             "character in a text...)");
    }
  }
  return true;
}

}  // namespace ZQ::RVL::Utils::Preferences
