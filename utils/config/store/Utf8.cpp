#include "utils/config/store/Utf8.h"

#include <cstring>

namespace ZQ::RVL::Utils::Preferences {

void AppendUtf8(std::uint32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
    return;
  }
  char buffer[4];
  const std::size_t n = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
  for (std::size_t i = n; i-- > 1;) {
    buffer[i] = static_cast<char>(0x80 | (code & 0x3f));
    code >>= 6;
  }
  buffer[0] = static_cast<char>((0xf00u >> n) | code);
  out.append(buffer, n);
}

CodePoint DecodeUtf8(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t extra = 0;
  std::uint32_t min = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) {
    return {lead, 1};
  } else if ((lead & 0xe0) == 0xc0) {
    extra = 1, min = 0x80, code = lead & 0x1fu;
  } else if ((lead & 0xf0) == 0xe0) {
    extra = 2, min = 0x800, code = lead & 0x0fu;
  } else if ((lead & 0xf8) == 0xf0) {
    extra = 3, min = 0x10000, code = lead & 0x07u;
  } else {
    return {};
  }
  if (text.size() - at <= extra) return {};
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xc0) != 0x80) return {};
    code = code << 6 | (next & 0x3fu);
  }
  if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return {};
  return {code, extra + 1};
}

bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const CodePoint point = DecodeUtf8(text, i);
    if (point.length == 0) return false;
    i += point.length;
  }
  return true;
}

}  // namespace ZQ::RVL::Utils::Preferences
