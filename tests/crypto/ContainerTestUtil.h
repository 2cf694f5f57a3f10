// Helpers for container tests: encrypt and decrypt strings through the stream
// functions, build plain data, read header fields.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "utils/crypto/Crypto.h"

namespace zqtest {

inline std::string Pattern(std::size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

inline std::string EncryptToString(const std::string& plain, bool light) {
  std::istringstream in(plain);
  std::ostringstream out;
  const bool ok =
      ZQ::RVL::Utils::Crypto::StreamEncrypt(in, static_cast<int>(plain.size()), out, light);
  if (!ok) throw std::runtime_error("StreamEncrypt failed");
  return out.str();
}

struct Decrypted {
  bool ok;
  std::string plain;
};

inline Decrypted DecryptString(const std::string& container, bool light) {
  std::istringstream in(container);
  std::ostringstream out;
  const bool ok = ZQ::RVL::Utils::Crypto::StreamDecrypt(in, out, light);
  return {ok, out.str()};
}

inline std::int32_t SizeField(const std::string& container) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v |= std::uint32_t(static_cast<unsigned char>(container[8 + i])) << (8 * i);
  return static_cast<std::int32_t>(v);
}

inline std::string SizeBytes(std::int32_t size) {
  std::string s(4, '\0');
  const auto v = static_cast<std::uint32_t>(size);
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}

inline std::size_t FullLength(std::size_t plain) {
  return 20 + (plain + 8) / 8 * 8;
}

}  // namespace zqtest
