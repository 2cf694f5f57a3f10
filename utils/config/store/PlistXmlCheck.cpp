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

// "-"? digits without leading zeros: what libplist and plistlib read alike
// and libplist writes back.
bool IsCanonicalInteger(std::string_view text) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || Digits(text) != text.size() || (text[0] == '0' && text.size() > 1)) {
    return false;
  }
  return !(negative && text == "0");
}

// A canonical integer within the signed or unsigned 64-bit range.
bool FitsInteger(std::string_view text) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
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

bool IsNameStart(char c) {
  return IsLetter(c) || c == '_' || c == ':';
}
bool IsNameChar(char c) {
  return IsNameStart(c) || IsDigit(c) || c == '.' || c == '-';
}
bool IsPublicIdChar(char c) {
  return IsLetter(c) || IsDigit(c) || c == ' ' || c == '\r' || c == '\n' ||
         std::string_view("-'()+,./:=?;!*#@$_%").find(c) != std::string_view::npos;
}

// Where a run of comments, processing instructions and blanks stands.
enum class Misc { kProlog, kContent, kEpilog };
// What holds a text: a key or value element, each read its own way.
enum class TextOf { kKey, kString, kNumber, kData, kBoolean };

// One start tag, once read.
struct Tag {
  std::size_t at = 0;  // its "<"
  std::string_view name;
  bool empty = false;  // <name/>
};

// The walk. Each method returns false and has filled the refusal at the
// first rule the file breaks; the file is read once, front to back.
class XmlCheck {
 public:
  XmlCheck(std::string_view file, PlistRefusal* why) : file_(file), why_(why) {}

  bool Run() {
    if (Ahead("\xef\xbb\xbf")) return Refuse("a byte-order mark", 0);
    // plistlib takes a file for XML only when it starts so.
    if (!Ahead("<?xml") && !Ahead("<plist")) {
      return Refuse("the file starts with neither \"<?xml\" nor \"<plist\"", 0);
    }
    // The characters are those of the encoding the declaration names.
    if (Ahead("<?xml") && !IsNameChar(At(5)) && !Declaration()) return false;
    if (!Characters()) return false;
    if (!SkipMisc(Misc::kProlog)) return false;
    Tag root;
    if (!StartTag(root, "the root element")) return false;
    Tag value = root;
    if (root.name == "plist") {
      if (root.empty) return Refuse("the root is not a dictionary", root.at);
      if (!SkipMisc(Misc::kContent) || !Child(value) || !Value(value, 1) ||
          !SkipMisc(Misc::kContent)) {
        return false;
      }
      // plistlib reads the last value, libplist 2.2 the first.
      if (!Ahead("</")) return Refuse("<plist> holds more than one value", at_);
      if (!EndTag(root)) return false;
    } else if (root.name == "dict" && !Value(root, 1)) {
      return false;
    }
    if (value.name != "dict") return Refuse("the root is not a dictionary", value.at);
    if (!SkipMisc(Misc::kEpilog)) return false;
    if (at_ != file_.size()) return Refuse("more than comments follow the root element", at_);
    return UniqueRootKeys();
  }

 private:
  bool Refuse(std::string rule, std::size_t at, bool overLimits = false) {
    if (why_) *why_ = {overLimits, std::move(rule), "at byte " + std::to_string(at)};
    return false;
  }

  char At(std::size_t i) const { return i < file_.size() ? file_[i] : '\0'; }
  bool Ahead(std::string_view s) const { return file_.substr(at_, s.size()) == s; }
  bool Skip(std::string_view s) {
    if (!Ahead(s)) return false;
    at_ += s.size();
    return true;
  }
  // Moves past blanks; returns how many.
  std::size_t Blanks() {
    const std::size_t start = at_;
    while (at_ < file_.size() && IsBlank(file_[at_])) ++at_;
    return at_ - start;
  }

  // Every character of the file is one XML allows: well-formed UTF-8, no
  // control character but tab, line feed and carriage return, no U+FFFE or
  // U+FFFF. Wherever it stands, plistlib refuses the file otherwise.
  bool Characters() {
    for (std::size_t i = 0; i < file_.size();) {
      const auto lead = static_cast<unsigned char>(file_[i]);
      if (lead < 0x80) {
        if (lead < 0x20 && !IsBlank(static_cast<char>(lead))) {
          return Refuse("a control character", i);
        }
        ++i;
        continue;
      }
      std::size_t n = 0;
      while (n < 4 && i + n < file_.size() && (n == 0 || (file_[i + n] & 0xc0) == 0x80)) ++n;
      if (!IsUtf8(file_.substr(i, n))) return Refuse("not UTF-8", i);
      if (file_.substr(i, n) == "\xef\xbf\xbe" || file_.substr(i, n) == "\xef\xbf\xbf") {
        return Refuse("U+FFFE or U+FFFF", i);
      }
      i += n;
    }
    return true;
  }

  // <?xml version="..." encoding="UTF-8" standalone="yes|no"?>, the latter
  // two optional, in this order. UTF-8 is the only encoding libplist reads.
  bool Declaration() {
    const std::size_t start = at_;
    at_ += 5;
    const auto malformed = [&] { return Refuse("a malformed XML declaration", start); };
    std::string_view value;
    if (Blanks() == 0 || !Skip("version") || !Quoted(value)) return malformed();
    for (const char c : value) {
      if (!(IsLetter(c) || IsDigit(c) || c == '.' || c == '_' || c == '-')) return malformed();
    }
    std::size_t blanks = Blanks();
    if (blanks != 0 && Skip("encoding")) {
      if (!Quoted(value)) return malformed();
      std::string lower(value);
      for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
      if (lower != "utf-8") return Refuse("an encoding other than UTF-8", start);
      blanks = Blanks();
    }
    if (blanks != 0 && Skip("standalone")) {
      if (!Quoted(value) || (value != "yes" && value != "no")) return malformed();
      standalone_ = value == "yes";
      Blanks();
    }
    return Skip("?>") || malformed();
  }
  // = "value" or = 'value', blanks around "=".
  bool Quoted(std::string_view& value) {
    Blanks();
    if (!Skip("=")) return false;
    Blanks();
    const char quote = At(at_);
    if (quote != '"' && quote != '\'') return false;
    const std::size_t end = file_.find(quote, at_ + 1);
    if (end == std::string_view::npos) return false;
    value = file_.substr(at_ + 1, end - at_ - 1);
    at_ = end + 1;
    return true;
  }

  // A name of ASCII letters, digits and "_:.-", not starting with a digit,
  // "." or "-". XML allows more characters in names; the store reads none.
  bool Name(std::string_view& name) {
    const std::size_t start = at_;
    if (IsNameStart(At(at_))) {
      while (at_ < file_.size() && IsNameChar(file_[at_])) ++at_;
    }
    name = file_.substr(start, at_ - start);
    if (static_cast<unsigned char>(At(at_)) >= 0x80) return Refuse("a name outside ASCII", start);
    return !name.empty() || Refuse("a name is missing", start);
  }

  // Blanks, comments and processing instructions, and in the prolog one
  // DOCTYPE.
  bool SkipMisc(Misc where) {
    for (;;) {
      Blanks();
      if (Ahead("<!--")) {
        if (!Comment()) return false;
      } else if (Ahead("<?")) {
        if (!Instruction()) return false;
      } else if (Ahead("<!DOCTYPE") && where == Misc::kProlog) {
        if (!Doctype()) return false;
        doctype_ = true;
      } else {
        return true;
      }
    }
  }

  bool Comment() {
    const std::size_t start = at_;
    const std::size_t end = file_.find("--", at_ + 4);
    if (end == std::string_view::npos) return Refuse("a comment does not end", start);
    if (At(end + 2) != '>') return Refuse("a comment holds \"--\"", end);
    at_ = end + 3;
    return true;
  }

  bool Instruction() {
    const std::size_t start = at_;
    at_ += 2;
    std::string_view target;
    if (!Name(target)) return false;
    if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' &&
        (target[2] | 0x20) == 'l') {
      return Refuse("an XML declaration not at the start of the file", start);
    }
    if (!Ahead("?>") && Blanks() == 0) {
      return Refuse("a processing instruction's target runs into its text", start);
    }
    const std::size_t end = file_.find("?>", at_);
    if (end == std::string_view::npos)
      return Refuse("a processing instruction does not end", start);
    at_ = end + 2;
    return true;
  }

  // <!DOCTYPE name>, <!DOCTYPE name SYSTEM "uri">, <!DOCTYPE name PUBLIC "id"
  // "uri">; an internal subset would declare entities.
  bool Doctype() {
    const std::size_t start = at_;
    const auto malformed = [&] { return Refuse("a malformed DOCTYPE", start); };
    if (doctype_) return Refuse("a second DOCTYPE", start);
    at_ += 9;
    std::string_view name;
    if (Blanks() == 0) return malformed();
    if (!Name(name)) return false;
    const std::size_t blanks = Blanks();
    const bool isPublic = blanks != 0 && Skip("PUBLIC");
    if (isPublic || (blanks != 0 && Skip("SYSTEM"))) {
      if (!Literal(isPublic, start) || (isPublic && !Literal(false, start))) return false;
      externalDtd_ = true;
      Blanks();
    }
    if (Ahead("[")) return Refuse("a DOCTYPE holds an internal subset", at_);
    return Skip(">") || malformed();
  }
  // Blanks, then a quoted system or public literal of the DOCTYPE at
  // `doctype`.
  bool Literal(bool publicId, std::size_t doctype) {
    const auto malformed = [&] { return Refuse("a malformed DOCTYPE", doctype); };
    if (Blanks() == 0) return malformed();
    const char quote = At(at_);
    if (quote != '"' && quote != '\'') return malformed();
    const std::size_t end = file_.find(quote, at_ + 1);
    if (end == std::string_view::npos) return malformed();
    const std::string_view text = file_.substr(at_ + 1, end - at_ - 1);
    if (publicId && !std::all_of(text.begin(), text.end(), IsPublicIdChar)) return malformed();
    // libplist 2.2 ends a DOCTYPE at a ">" in single quotes.
    if (quote == '\'' && text.find_first_of(">[\"") != std::string_view::npos) {
      return Refuse("a DOCTYPE literal in single quotes holds '>', '[' or '\"'", doctype);
    }
    at_ = end + 1;
    return true;
  }

  // <name attribute="value"...> or <name .../>, its attributes each named
  // once. `what` says what the caller looks for, when no tag stands there.
  bool StartTag(Tag& tag, const char* what) {
    tag = Tag{at_, {}, false};
    if (at_ == file_.size()) return Refuse(std::string("the file ends before ") + what, at_);
    if (!Skip("<") || Ahead("/") || Ahead("!")) {
      return Refuse(std::string("text or markup where ") + what + " should start", tag.at);
    }
    if (!Name(tag.name)) return false;
    attributes_.clear();
    for (;;) {
      const std::size_t blanks = Blanks();
      if (Skip(">")) break;
      if (Skip("/>")) {
        tag.empty = true;
        break;
      }
      if (at_ == file_.size()) return Refuse("the file ends inside a tag", tag.at);
      if (blanks == 0) return Refuse("a malformed tag", at_);
      if (!Attribute()) return false;
    }
    std::sort(attributes_.begin(), attributes_.end());
    if (std::adjacent_find(attributes_.begin(), attributes_.end()) != attributes_.end()) {
      return Refuse("an attribute is named twice", tag.at);
    }
    return true;
  }

  // name="value" or name='value': no "<" in the value, and only references
  // XML defines.
  bool Attribute() {
    const std::size_t start = at_;
    std::string_view name;
    if (!Name(name)) return false;
    attributes_.push_back(name);
    Blanks();
    if (!Skip("=")) return Refuse("an attribute without a value", start);
    Blanks();
    const char quote = At(at_);
    if (quote != '"' && quote != '\'') return Refuse("an attribute value without quotes", at_);
    for (++at_; At(at_) != quote;) {
      const char c = At(at_);
      if (at_ == file_.size()) return Refuse("the file ends inside a tag", start);
      if (c == '<') return Refuse("an attribute value holds \"<\"", at_);
      // libplist 2.2 ends a single-quoted value at a double quote.
      if (c == '"') return Refuse("an attribute value in single quotes holds '\"'", at_);
      if (c == '&') {
        std::string ignored;
        if (!Reference(ignored, false)) return false;
      } else {
        ++at_;
      }
    }
    ++at_;
    return true;
  }

  // </name> or </name >, closing `tag`.
  bool EndTag(const Tag& tag) {
    const std::size_t start = at_;
    at_ += 2;
    std::string_view name;
    if (!Name(name)) return false;
    if (name != tag.name) return Refuse("an end tag does not match its start tag", start);
    Blanks();
    return Skip(">") || Refuse("a malformed tag", start);
  }

  // The character data of `tag` up to its end tag, decoded into `out`: the
  // five named entities, character references and CDATA sections, and
  // comments (none in data, which libplist 2.2 reads otherwise then). No
  // element or processing instruction inside (libplist refuses the file), and
  // no carriage return but in true and false, whose text counts for nothing. Counts what libplist
  // pays for its references against kMaxReferenceCost.
  bool Text(const Tag& tag, TextOf of, std::string& out) {
    // libplist decodes each run of characters between CDATA sections apart.
    std::uint64_t references = 0;
    std::uint64_t positions = 0;  // the sum of their offsets in the file
    const auto endRun = [&] {
      referenceCost_ += references * at_ - positions;
      references = positions = 0;
      return referenceCost_ <= kMaxReferenceCost ||
             Refuse("its references cost too much to decode", at_, true);
    };
    for (;;) {
      if (at_ == file_.size()) return Refuse("the file ends inside an element", tag.at);
      const char c = file_[at_];
      if (Ahead("<![CDATA[")) {
        const std::size_t start = at_;
        if (!endRun()) return false;
        const std::size_t end = file_.find("]]>", at_ + 9);
        if (end == std::string_view::npos) return Refuse("a CDATA section does not end", start);
        const std::string_view text = file_.substr(at_ + 9, end - at_ - 9);
        if (of != TextOf::kBoolean && text.find('\r') != std::string_view::npos) {
          return Refuse("a carriage return in a text", at_ + 9 + text.find('\r'));
        }
        out += text;
        at_ = end + 3;
      } else if (Ahead("<!--")) {
        if (of == TextOf::kData) return Refuse("a comment inside data", at_);
        if (!Comment()) return false;
      } else if (Ahead("</")) {
        return endRun() && EndTag(tag);
      } else if (Ahead("<?")) {
        return Refuse("a processing instruction inside a text", at_);
      } else if (c == '<') {
        return Refuse("an element inside a text", at_);
      } else if (c == '&') {
        ++references;
        positions += at_;
        if (!Reference(out, of != TextOf::kBoolean)) return false;
      } else if (c == '\r' && of != TextOf::kBoolean) {
        return Refuse("a carriage return in a text", at_);
      } else if (Ahead("]]>")) {
        return Refuse("\"]]>\" in a text", at_);
      } else {
        out += c;
        ++at_;
      }
    }
  }

  // One of the five named entities or a character reference to a character
  // XML allows (in an attribute value, see below for other entities); in a text (`inText`) not to a
  // carriage return, which libplist writes back as it is and XML readers then read as a line feed.
  bool Reference(std::string& out, bool inText) {
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto& [entity, c] : kNamed) {
      if (Skip(entity)) {
        out += c;
        return true;
      }
    }
    const std::size_t start = at_;
    if (!Skip("&#")) {
      // With a DTD it does not read, expat lets a reference to any entity
      // through, and plistlib skips it: libplist 2.2 refuses it in a text
      // and ignores attribute values.
      std::string_view name;
      ++at_;
      if (!Name(name)) return false;
      if (!Skip(";")) return Refuse("a malformed reference", start);
      if (!inText && externalDtd_ && !standalone_) return true;
      return Refuse("a reference to an undeclared entity", start);
    }
    const bool hex = Skip("x");
    std::uint32_t code = 0;
    std::size_t digits = 0;
    for (; at_ < file_.size() && file_[at_] != ';'; ++at_, ++digits) {
      const char d = file_[at_];
      int value = IsDigit(d) ? d - '0' : -1;
      if (hex && d >= 'a' && d <= 'f') value = d - 'a' + 10;
      if (hex && d >= 'A' && d <= 'F') value = d - 'A' + 10;
      if (value < 0) return Refuse("a malformed character reference", start);
      if (code <= 0x10ffff) code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(value);
    }
    if (!Skip(";") || digits == 0) return Refuse("a malformed character reference", start);
    if (code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) || code == 0xfffe || code == 0xffff ||
        (code < 0x20 && !IsBlank(static_cast<char>(code)))) {
      return Refuse("a reference to a character XML does not allow", start);
    }
    if (inText && code == '\r') return Refuse("a carriage return in a text", start);
    AppendUtf8(code, out);
    return true;
  }

  // The value that `tag` opens; containers at nesting `depth` (the root
  // is 1).
  bool Value(const Tag& tag, std::size_t depth) {
    const std::string_view name = tag.name;
    if (name == "dict" || name == "array") {
      if (depth > kMaxPlistNesting) {
        return Refuse("nested deeper than " + std::to_string(kMaxPlistNesting), tag.at, true);
      }
      return tag.empty || Container(tag, depth);
    }
    std::string text;
    if (name == "true" || name == "false") return tag.empty || Text(tag, TextOf::kBoolean, text);
    if (name == "key") return Refuse("a key outside a dictionary", tag.at);
    const bool string = name == "string", integer = name == "integer", real = name == "real";
    const bool date = name == "date", data = name == "data";
    if (!string && !integer && !real && !date && !data) {
      return Refuse("an element that is not a value", tag.at);
    }
    const TextOf of = string ? TextOf::kString : data ? TextOf::kData : TextOf::kNumber;
    if (!tag.empty && !Text(tag, of, text)) return false;
    if (integer && !IsCanonicalInteger(text)) {
      return Refuse("an integer is not in canonical form", tag.at);
    }
    if (integer && !FitsInteger(text)) {
      return Refuse("an integer beyond 64 bits", tag.at);
    }
    if (real && !IsCanonicalReal(text)) return Refuse("a real is not in canonical form", tag.at);
    if (date && !IsCanonicalDate(text)) return Refuse("a date is not in canonical form", tag.at);
    if (data && !IsCanonicalBase64(text)) return Refuse("data is not in canonical base64", tag.at);
    return true;
  }

  // The entries of a dictionary or array `tag` opens, up to its end tag.
  bool Container(const Tag& tag, std::size_t depth) {
    const bool dictionary = tag.name == "dict";
    for (;;) {
      if (!SkipMisc(Misc::kContent)) return false;
      if (Ahead("</")) return EndTag(tag);
      Tag child;
      if (!Child(child)) return false;
      if (dictionary) {
        if (child.name != "key") return Refuse("a value without a key", child.at);
        // libplist 2.2 refuses the file.
        if (child.empty) return Refuse("a key written <key/>", child.at);
        std::string key;
        if (!Text(child, TextOf::kKey, key) || !SkipMisc(Misc::kContent)) return false;
        if (Ahead("</")) return Refuse("a key without a value", child.at);
        if (depth == 1) rootKeys_.push_back(std::move(key));
        const std::size_t keyAt = child.at;
        if (!Child(child)) return false;
        if (child.name == "key") return Refuse("a key without a value", keyAt);
      }
      if (++entries_ > kMaxPlistEntries) {
        return Refuse("more than " + std::to_string(kMaxPlistEntries) + " entries", child.at, true);
      }
      if (!Value(child, depth + 1)) return false;
    }
  }
  // The start tag of an entry; libplist 2.2 refuses any text between them.
  bool Child(Tag& child) {
    if (at_ < file_.size() && (At(at_) != '<' || Ahead("<![CDATA["))) {
      return Refuse("text between elements", at_);
    }
    return StartTag(child, "an element");
  }

  // A root dictionary that names a key twice loses a value in libplist's map.
  bool UniqueRootKeys() {
    std::sort(rootKeys_.begin(), rootKeys_.end());
    const auto twice = std::adjacent_find(rootKeys_.begin(), rootKeys_.end());
    if (twice == rootKeys_.end()) return true;
    if (why_)
      *why_ = {false, "a key is named twice in the root dictionary", "at key \"" + *twice + "\""};
    return false;
  }

  std::string_view file_;
  PlistRefusal* why_;
  std::size_t at_ = 0;
  bool doctype_ = false;
  bool externalDtd_ = false;  // the DOCTYPE names one
  bool standalone_ = false;   // the declaration says standalone="yes"
  std::size_t entries_ = 0;
  std::uint64_t referenceCost_ = 0;           // bytes libplist moves to decode references
  std::vector<std::string_view> attributes_;  // of the tag being read
  std::vector<std::string> rootKeys_;
};

}  // namespace

bool CheckXmlPlist(std::string_view file, PlistRefusal* why) {
  return XmlCheck(file, why).Run();
}

}  // namespace ZQ::RVL::Utils::Preferences
