// The keys and values the settings benchmarks store, shared by the store's
// figures and the peers' baselines so that both hold the same texts, and the
// file moves that stand for another process's write.
#pragma once

#include <stdio.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

namespace zqbench {

constexpr int kValueLength = 20;

// Returns "key<index>".
inline std::string KeyName(int index) {
  return "key" + std::to_string(index);
}

// Returns the `version`th value of key `index` in the domain `domain`: 20
// letters and digits that look random and differ from key to key, domain to
// domain and version to version (equal values would flatter the store's
// writer, which stores equal texts once), the same in every run.
inline std::string ValueOf(const std::string& domain, int index, int version) {
  std::uint64_t x = 1469598103934665603u;  // FNV-1a over the domain, then splitmix64
  for (const char c : domain) x = (x ^ static_cast<unsigned char>(c)) * 1099511628211u;
  x ^= (static_cast<std::uint64_t>(index) << 20) ^ static_cast<std::uint64_t>(version);
  static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string value;
  while (value.size() < kValueLength) {
    x += 0x9e3779b97f4a7c15u;
    std::uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    z ^= z >> 31;
    for (int i = 0; i < 10 && value.size() < kValueLength; ++i, z /= 62) value += kDigits[z % 62];
  }
  return value;
}

// Returns the bytes of the file at `path` (empty when it cannot be read).
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Puts a new file holding `bytes` in place of the one at `path` by a rename,
// as another process's write does. Returns false when that failed.
inline bool ReplaceByRename(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".bench-new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush()) return false;
  }
  return ::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace zqbench
