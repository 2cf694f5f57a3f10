// Encoding a dictionary: the store's binary writer, and for XML its result
// converted by libplist and read back, since XML cannot carry every value.
// (Decoding is PlistReader.cpp.)
#include "utils/config/store/PlistCodec.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "utils/config/store/PlistBinaryWriter.h"
#include "utils/config/store/PlistObjectTable.h"
#include "utils/config/store/PlistXml.h"
#include "utils/config/store/Utf8.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

bool Refuse(PlistRefusal* why, std::string rule, bool overLimits = false) {
  if (why != nullptr) *why = PlistRefusal{overLimits, std::move(rule), {}};
  return false;
}

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

bool IsText(const PlistObject& object) {
  return object.type == 0x5 || object.type == 0x6;
}

std::string TextOf(std::string_view bytes, const PlistObject& object) {
  if (object.type == 0x5) return std::string(bytes);
  std::string utf8;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    std::uint32_t code =
        static_cast<unsigned char>(bytes[i]) << 8 | static_cast<unsigned char>(bytes[i + 1]);
    if (code >= 0xd800 && code <= 0xdbff && i + 3 < bytes.size()) {
      const std::uint32_t low =
          static_cast<unsigned char>(bytes[i + 2]) << 8 | static_cast<unsigned char>(bytes[i + 3]);
      code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
      i += 2;
    }
    AppendUtf8(code, utf8);
  }
  return utf8;
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
  if (IsText(*oa) || IsText(*ob)) {
    return IsText(*oa) && IsText(*ob) && TextOf(*bytesA, *oa) == TextOf(*bytesB, *ob);
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

}  // namespace

std::string KindOf(const ForeignValue& value) {
  const auto table = PlistObjectTable::Open(value.plist);
  const auto top = table ? table->Read(table->TopObject()) : std::nullopt;
  switch (top ? top->type : 0xF) {
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

bool EncodeDictionary(const Dictionary& dictionary, std::string& out, PlistFormat format,
                      PlistRefusal* why) {
  std::string binary;
  if (!WriteBinaryDictionary(dictionary, binary)) {
    return Refuse(why, "a key or text holds a NUL or is not UTF-8");
  }
  // What the store writes it must accept when it reads the file back.
  if (!CheckPlist(binary, why)) {
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
