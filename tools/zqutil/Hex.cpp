#include "tools/zqutil/Hex.h"

namespace zqutil {

namespace {

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string ToHex(const unsigned char* bytes, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

bool ParseHex(const std::string& text, std::vector<unsigned char>& bytes) {
  bytes.clear();
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == ' ' || text[i] == ':') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size() || Digit(text[i]) < 0 || Digit(text[i + 1]) < 0) return false;
    bytes.push_back(static_cast<unsigned char>(Digit(text[i]) << 4 | Digit(text[i + 1])));
    i += 2;
  }
  return true;
}

}  // namespace zqutil
