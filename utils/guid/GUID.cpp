#include "utils/guid/GUID.h"

#include <algorithm>
#include <array>
#include <locale>
#include <ostream>
#include <type_traits>
#include <utility>

#include <boost/format.hpp>
#include <boost/spirit/include/classic_assign_actor.hpp>
#include <boost/spirit/include/classic_core.hpp>

#include "utils/runtime/KernelRandom.h"
#include "utils/runtime/PerThread.h"

namespace ZQ::RVL::Utils {

// Callers copy identifiers as 16 plain bytes and rely on the field layout.
static_assert(std::is_aggregate_v<GUID> && std::is_trivially_copyable_v<GUID>);
static_assert(std::is_standard_layout_v<GUID> && sizeof(GUID) == 16);

namespace {

namespace sc = boost::spirit::classic;

constexpr char kTextFormat[] = "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x";

std::string Format(boost::format& formatter, const GUID& id) {
  formatter.clear();  // drops arguments a call that threw half-way may have left
  formatter % id.data1 % id.data2 % id.data3;
  for (const std::uint8_t byte : id.data4) formatter % static_cast<unsigned>(byte);
  return formatter.str();
}

// Returns true when `text` is 36 characters of lower-case hex digits with
// hyphens after the 8th, 12th, 16th and 20th digit.
bool HasTextForm(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool ok = (i == 8 || i == 13 || i == 18 || i == 23)
                        ? c == '-'
                        : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    if (!ok) return false;
  }
  return true;
}

// The bare form, with actions that assign each group to its field of `read`.
auto BareForm(GUID& read) {
  const sc::uint_parser<std::uint32_t, 16, 8, 8> hex8;
  const sc::uint_parser<std::uint16_t, 16, 4, 4> hex4;
  const sc::uint_parser<std::uint8_t, 16, 2, 2> hex2;
  std::uint8_t* const b = read.data4;
  return hex8[sc::assign_a(read.data1)] >> sc::ch_p('-') >> hex4[sc::assign_a(read.data2)] >>
         sc::ch_p('-') >> hex4[sc::assign_a(read.data3)] >> sc::ch_p('-') >>
         hex2[sc::assign_a(b[0])] >> hex2[sc::assign_a(b[1])] >> sc::ch_p('-') >>
         hex2[sc::assign_a(b[2])] >> hex2[sc::assign_a(b[3])] >> hex2[sc::assign_a(b[4])] >>
         hex2[sc::assign_a(b[5])] >> hex2[sc::assign_a(b[6])] >> hex2[sc::assign_a(b[7])];
}

using BareParser = decltype(BareForm(std::declval<GUID&>()));
using BracedParser = decltype(sc::ch_p('{') >> std::declval<BareParser>() >> sc::ch_p('}'));

// The two forms and the scratch fields their actions write. Building Spirit
// Classic's nested parser copies every inner level again and costs more than
// a parse, so each thread builds one and keeps it.
class TextParser {
 public:
  TextParser() : mBare(BareForm(mRead)), mBraced(sc::ch_p('{') >> mBare >> sc::ch_p('}')) {}
  TextParser(const TextParser&) = delete;
  TextParser& operator=(const TextParser&) = delete;

  // Matches the bare form, or with `braced` the braced form, against all of
  // [first, last). The fields go to scratch and are copied to `out` only when
  // the whole range matched, so a failed attempt leaves `out` untouched.
  bool MatchWhole(const char* first, const char* last, bool braced, GUID& out) {
    mRead = GUID{};
    const bool full =
        braced ? sc::parse(first, last, mBraced).full : sc::parse(first, last, mBare).full;
    if (full) out = mRead;
    return full;
  }

 private:
  GUID mRead{};  // declared first: the parsers refer to it
  BareParser mBare;
  BracedParser mBraced;
};

// Reads four bytes as a big-endian word, the byte order of RFC 4122.
std::uint32_t BigEndianWord(const std::uint8_t* b) {
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
         std::uint32_t{b[3]};
}

// Reads four bytes as a little-endian word, the way the order weighs data4.
std::uint32_t LittleEndianWord(const std::uint8_t* b) {
  return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
         std::uint32_t{b[3]} << 24;
}

// The four unsigned words that the order compares, most significant first.
std::array<std::uint32_t, 4> OrderWords(const GUID& id) {
  return {id.data1, std::uint32_t{id.data2} | std::uint32_t{id.data3} << 16,
          LittleEndianWord(id.data4), LittleEndianWord(id.data4 + 4)};
}

// The splitmix64 finaliser: every input bit affects every output bit.
std::uint64_t Mix(std::uint64_t x) {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
  return x ^ (x >> 31);
}

std::size_t Hash(const GUID& id) {
  const std::uint64_t high =
      std::uint64_t{id.data1} << 32 | std::uint64_t{id.data2} << 16 | id.data3;
  std::uint64_t low = 0;
  for (const std::uint8_t byte : id.data4) low = low << 8 | byte;
  return static_cast<std::size_t>(Mix(high ^ Mix(low)));
}

}  // namespace

GUID GUID::Create() {
  std::uint8_t b[16];
  if (!internal::ReadKernelRandom(b, sizeof b)) return GUID{};
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | 0x40);  // version 4: random
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80);  // variant 10: RFC 4122
  return Create(BigEndianWord(b), static_cast<std::uint16_t>(b[4] << 8 | b[5]),
                static_cast<std::uint16_t>(b[6] << 8 | b[7]), b[8], b[9], b[10], b[11], b[12],
                b[13], b[14], b[15]);
}

GUID GUID::Create(std::uint32_t data1, std::uint16_t data2, std::uint16_t data3, std::uint8_t b0,
                  std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                  std::uint8_t b5, std::uint8_t b6, std::uint8_t b7) {
  return GUID{data1, data2, data3, {b0, b1, b2, b3, b4, b5, b6, b7}};
}

GUID GUID::Create(const std::string& text) {
  const char* const first = text.data();
  const char* const last = first + std::min(text.find('\0'), text.size());
  // One parser per thread: building one costs more than a parse.
  return Utils::internal::UsePerThread([] { return TextParser(); },
                                       [&](TextParser& parser) {
                                         GUID parsed{};
                                         if (!parser.MatchWhole(first, last, false, parsed)) {
                                           parser.MatchWhole(first, last, true, parsed);
                                         }
                                         return parsed;
                                       });
}

bool GUID::Equal(const GUID& other) const {
  return data1 == other.data1 && data2 == other.data2 && data3 == other.data3 &&
         std::equal(data4, data4 + 8, other.data4);
}

bool GUID::Before(const GUID& other) const {
  return OrderWords(*this) < OrderWords(other);
}

std::string GUID::ToString() const {
  // Boost.Format uses the global locale unless given one, so a global locale
  // with digit grouping would print "12,345,678-...". Given a locale, it imbues
  // it twice per argument, which doubles the cost of the call. So while the
  // global locale is the classic one, the plain formatter serves; the shape
  // check catches another thread changing the global locale meanwhile.
  //
  // One formatter of each kind per thread: parsing the format string again
  // for every call would cost more than the formatting.
  using Utils::internal::UsePerThread;
  const auto format = [this](boost::format& formatter) { return Format(formatter, *this); };
  if (std::locale() == std::locale::classic()) {
    std::string text = UsePerThread([] { return boost::format(kTextFormat); }, format);
    if (HasTextForm(text)) return text;
  }
  return UsePerThread([] { return boost::format(kTextFormat, std::locale::classic()); }, format);
}

std::ostream& operator<<(std::ostream& out, const GUID& id) {
  return out << id.ToString();
}

}  // namespace ZQ::RVL::Utils

std::size_t std::hash<ZQ::RVL::Utils::GUID>::operator()(
    const ZQ::RVL::Utils::GUID& id) const noexcept {
  return ZQ::RVL::Utils::Hash(id);
}
