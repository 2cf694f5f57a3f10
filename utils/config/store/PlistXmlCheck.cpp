#include "utils/config/store/PlistXmlCheck.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "utils/config/store/PlistRules.h"
#include "utils/config/store/Utf8.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

// libplist 2.2 decodes each reference in a text by moving the rest of the
// text's bytes (up to a CDATA section) down over it: a 16 MiB text of
// references would take minutes.
// This many bytes moved, over the whole file, take a quarter of a second at
// most: 250 references before 16 MiB, moved beyond the cache
// (LargestReferenceRead in bench/ConfigBench.cpp).
constexpr std::uint64_t kMaxReferenceCost = std::uint64_t{1} << 32;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Returns the number of digits at the start of `text`.
std::size_t Digits(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() && IsDigit(text[n])) ++n;
  return n;
}

// "-"? digits without leading zeros, within the signed or unsigned 64-bit
// range: what libplist and plistlib read alike and libplist writes back.
bool IsCanonicalInteger(std::string_view text) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || Digits(text) != text.size() || (text[0] == '0' && text.size() > 1)) {
    return false;
  }
  if (negative && text == "0") return false;
  const std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
  return text.size() < limit.size() || (text.size() == limit.size() && text <= limit);
}

// "-"? then inf, nan or digits[.digits][e[+-]digits], as plistlib writes reals.
bool IsCanonicalReal(std::string_view text) {
  if (!text.empty() && text[0] == '-') text.remove_prefix(1);
  if (text == "inf" || text == "nan") return true;
  std::size_t n = Digits(text);
  if (n == 0) return false;
  text.remove_prefix(n);
  if (!text.empty() && text[0] == '.') {
    n = Digits(text.substr(1));
    if (n == 0) return false;
    text.remove_prefix(1 + n);
  }
  if (!text.empty() && (text[0] == 'e' || text[0] == 'E')) {
    text.remove_prefix(1);
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
    n = Digits(text);
    if (n == 0) return false;
    text.remove_prefix(n);
  }
  return text.empty();
}

// YYYY-MM-DDTHH:MM:SSZ naming a real instant of the years 1 to 9999.
bool IsCanonicalDate(std::string_view text) {
  static constexpr std::string_view kForm = "0000-00-00T00:00:00Z";
  if (text.size() != kForm.size()) return false;
  for (std::size_t i = 0; i < kForm.size(); ++i) {
    if (kForm[i] == '0' ? !IsDigit(text[i]) : text[i] != kForm[i]) return false;
  }
  const auto number = [&](std::size_t at, std::size_t width) {
    int value = 0;
    for (std::size_t i = 0; i < width; ++i) value = value * 10 + (text[at + i] - '0');
    return value;
  };
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= kDays[month - 1] &&
         (month != 2 || day <= 28 || leap) && number(11, 2) < 24 && number(14, 2) < 60 &&
         number(17, 2) < 60;
}

// Base64 in groups of four, blanks between, padding only at the end.
bool IsCanonicalBase64(std::string_view text) {
  std::size_t symbols = 0;
  std::size_t padding = 0;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\n') continue;
    if (c == '=') {
      ++padding;
    } else if (padding != 0 || !(IsLetter(c) || IsDigit(c) || c == '+' || c == '/')) {
      return false;
    }
    ++symbols;
  }
  return symbols % 4 == 0 && padding <= 2;
}

class XmlCheck {
 public:
  explicit XmlCheck(std::string_view file) : file_(file) {}

  bool Run() {
    if (!IsUtf8(file_) || Ahead("\xef\xbb\xbf")) return false;  // a byte-order mark
    if (Ahead("<?xml") && !Declaration()) return false;
    if (!Misc(true) || !Ahead("<plist")) return false;
    std::string_view name;
    bool empty = false;
    if (!OpenTag(name, empty, true) || empty || !Misc(false) || !Ahead("<dict")) return false;
    if (!Value(1) || !Misc(false) || !Skip("</plist>") || !Misc(false) || at_ != file_.size()) {
      return false;
    }
    std::sort(rootKeys_.begin(), rootKeys_.end());
    return std::adjacent_find(rootKeys_.begin(), rootKeys_.end()) == rootKeys_.end();
  }

 private:
  bool Ahead(std::string_view s) const { return file_.substr(at_, s.size()) == s; }
  bool Skip(std::string_view s) {
    if (!Ahead(s)) return false;
    at_ += s.size();
    return true;
  }
  // Moves past `end`; false when it never comes.
  bool SkipPast(std::string_view end) {
    const std::size_t found = file_.find(end, at_);
    if (found == std::string_view::npos) return false;
    at_ = found + end.size();
    return true;
  }

  // <?xml ...?>: UTF-8 is the only encoding libplist reads.
  bool Declaration() {
    const std::size_t start = at_;
    if (!SkipPast("?>")) return false;
    std::string declaration(file_.substr(start, at_ - start));
    std::transform(declaration.begin(), declaration.end(), declaration.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    const std::size_t encoding = declaration.find("encoding");
    if (encoding == std::string::npos) return true;
    const std::size_t quote = declaration.find_first_of("\"'", encoding);
    return quote != std::string::npos && declaration.compare(quote + 1, 5, "utf-8") == 0 &&
           quote + 6 < declaration.size() && declaration[quote + 6] == declaration[quote];
  }

  // Blanks and comments, and in the prolog one DOCTYPE without an internal
  // subset (where entities would be declared).
  bool Misc(bool prolog) {
    for (;;) {
      while (at_ < file_.size() && IsBlank(file_[at_])) ++at_;
      if (Skip("<!--")) {
        const std::size_t end = file_.find("--", at_);
        if (end == std::string_view::npos || file_.substr(end, 3) != "-->") return false;
        at_ = end + 3;
      } else if (prolog && Ahead("<!DOCTYPE")) {
        const std::size_t start = at_;
        if (!SkipPast(">") || file_.substr(start, at_ - start).find('[') != std::string::npos) {
          return false;
        }
        prolog = false;
      } else {
        return true;
      }
    }
  }

  // <name>, <name/>, with quoted attributes only where `attributes` allows.
  bool OpenTag(std::string_view& name, bool& empty, bool attributes) {
    if (!Skip("<")) return false;
    const std::size_t start = at_;
    while (at_ < file_.size() && IsLetter(file_[at_])) ++at_;
    name = file_.substr(start, at_ - start);
    for (;;) {
      const std::size_t blanks = at_;
      while (at_ < file_.size() && IsBlank(file_[at_])) ++at_;
      if (Skip(">") || (empty = Skip("/>"))) return !name.empty();
      if (!attributes || blanks == at_ || at_ == file_.size() || !IsLetter(file_[at_])) {
        return false;
      }
      while (at_ < file_.size() && (IsLetter(file_[at_]) || file_[at_] == ':')) ++at_;
      while (at_ < file_.size() && IsBlank(file_[at_])) ++at_;
      if (!Skip("=")) return false;
      while (at_ < file_.size() && IsBlank(file_[at_])) ++at_;
      if (at_ == file_.size() || (file_[at_] != '"' && file_[at_] != '\'')) return false;
      const std::size_t end = file_.find(file_[at_], at_ + 1);
      if (end == std::string_view::npos) return false;
      const std::string_view value = file_.substr(at_ + 1, end - at_ - 1);
      if (value.find_first_of("<&") != std::string_view::npos) return false;
      at_ = end + 1;
    }
  }

  // The character data of `name` up to its closing tag, decoded into `out`:
  // the five named entities, character references and CDATA sections. No
  // element, comment, carriage return or control character inside. Counts
  // what libplist pays for its references against kMaxReferenceCost.
  bool Text(std::string_view name, std::string& out) {
    // libplist decodes each run of characters between CDATA sections apart.
    std::uint64_t references = 0;
    std::uint64_t positions = 0;  // the sum of their offsets in the file
    const auto endRun = [&] {
      referenceCost_ += references * at_ - positions;
      references = positions = 0;
      return referenceCost_ <= kMaxReferenceCost;
    };
    for (;;) {
      if (at_ == file_.size()) return false;
      const char c = file_[at_];
      if (Ahead("<![CDATA[")) {
        if (!endRun()) return false;
        at_ += 9;
        const std::size_t end = file_.find("]]>", at_);
        if (end == std::string_view::npos) return false;
        for (const char d : file_.substr(at_, end - at_)) {
          if (!Plain(d)) return false;
          out += d;
        }
        at_ = end + 3;
      } else if (c == '<') {
        return endRun() && Skip("</") && Skip(name) && Skip(">");
      } else if (c == '&') {
        ++references;
        positions += at_;
        if (!Reference(out)) return false;
      } else {
        if (!Plain(c) || Ahead("]]>")) return false;
        out += c;
        ++at_;
      }
    }
  }
  static bool Plain(char c) {
    return static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n';
  }

  bool Reference(std::string& out) {
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto& [entity, c] : kNamed) {
      if (Skip(entity)) {
        out += c;
        return true;
      }
    }
    if (!Skip("&#")) return false;
    const bool hex = Skip("x");
    std::uint32_t code = 0;
    std::size_t digits = 0;
    for (; at_ < file_.size() && file_[at_] != ';'; ++at_, ++digits) {
      const char d = file_[at_];
      int value = IsDigit(d) ? d - '0' : -1;
      if (hex && d >= 'a' && d <= 'f') value = d - 'a' + 10;
      if (hex && d >= 'A' && d <= 'F') value = d - 'A' + 10;
      if (value < 0 || code > 0x10ffff) return false;
      code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(value);
    }
    if (!Skip(";") || digits == 0 || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) ||
        code == 0xfffe || code == 0xffff || (code < 0x20 && code != '\t' && code != '\n')) {
      return false;
    }
    AppendUtf8(code, out);
    return true;
  }

  // One value; containers at nesting `depth` (the root is 1).
  bool Value(std::size_t depth) {
    std::string_view name;
    bool empty = false;
    if (!OpenTag(name, empty, false)) return false;
    if (name == "dict" || name == "array") {
      if (depth > kMaxPlistNesting) return false;
      const bool dictionary = name == "dict";
      while (!empty) {
        if (!Misc(false)) return false;
        if (Skip(dictionary ? "</dict>" : "</array>")) break;
        if (dictionary) {
          std::string key;
          bool emptyKey = false;
          if (!OpenTag(name, emptyKey, false) || name != "key" || emptyKey || !Text("key", key) ||
              !Misc(false)) {
            return false;
          }
          if (depth == 1) rootKeys_.push_back(std::move(key));
        }
        if (++entries_ > kMaxPlistEntries || !Value(depth + 1)) return false;
      }
      return true;
    }
    if (name == "true" || name == "false") return empty || (Skip("</") && Skip(name) && Skip(">"));
    std::string text;
    if (!empty && !Text(name, text)) return false;
    if (name == "string") return true;
    if (name == "integer") return IsCanonicalInteger(text);
    if (name == "real") return IsCanonicalReal(text);
    if (name == "date") return IsCanonicalDate(text);
    if (name == "data") return IsCanonicalBase64(text);
    return false;
  }

  std::string_view file_;
  std::size_t at_ = 0;
  std::size_t entries_ = 0;
  std::uint64_t referenceCost_ = 0;  // bytes libplist moves to decode references
  std::vector<std::string> rootKeys_;
};

}  // namespace

bool CheckXmlPlist(std::string_view file) {
  return XmlCheck(file).Run();
}

}  // namespace ZQ::RVL::Utils::Preferences
