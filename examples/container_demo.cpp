// Encrypts a generated file into a container in both forms, reads the plain
// size back from the header, decrypts it and checks the round trip.
//
//   container_demo [folder]   (default: a fresh folder under $TMPDIR)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
namespace fs = std::filesystem;

namespace {

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Step(bool ok, const std::string& what) {
  std::printf("  %-52s %s\n", what.c_str(), ok ? "ok" : "FAILED");
  return ok;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool RunForm(const fs::path& folder, const fs::path& plainPath, bool light) {
  const char* form = light ? "light" : "full";
  std::printf("%s form:\n", form);
  const fs::path boxPath = folder / (std::string("demo.") + form + ".zqc");
  const fs::path backPath = folder / (std::string("demo.") + form + ".out");

  auto start = std::chrono::steady_clock::now();
  bool ok = Crypto::FileEncrypt(plainPath.c_str(), boxPath.c_str(), light);
  const double encryptSeconds = Seconds(start);
  ok = Step(ok, "FileEncrypt " + plainPath.filename().string() + " -> " +
                    boxPath.filename().string()) &&
       ok;

  int size = -1;
  const bool sized = Crypto::FilePlainSize(boxPath.c_str(), size, light);
  Step(sized, "FilePlainSize reads " + std::to_string(size) + " plain bytes from the header");

  start = std::chrono::steady_clock::now();
  const bool decrypted = Crypto::FileDecrypt(boxPath.c_str(), backPath.c_str(), light);
  const double decryptSeconds = Seconds(start);
  Step(decrypted, "FileDecrypt -> " + backPath.filename().string());

  const bool same = Slurp(plainPath) == Slurp(backPath);
  Step(same, "decrypted bytes equal the original");
  const double mib = static_cast<double>(fs::file_size(plainPath)) / (1 << 20);
  std::printf("  container %ju bytes; encrypt %.0f MiB/s, decrypt %.0f MiB/s\n",
              static_cast<std::uintmax_t>(fs::file_size(boxPath)), mib / encryptSeconds,
              mib / decryptSeconds);
  return ok && sized && decrypted && same;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path folder;
  if (argc > 1) {
    folder = argv[1];
    fs::create_directories(folder);
  } else {
    std::string pattern = (fs::temp_directory_path() / "zq-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    folder = pattern;
  }
  std::printf("ZQ::RVL::Utils container demo in %s\n", folder.c_str());

  // A 4 MiB file of pseudo-random bytes.
  const fs::path plainPath = folder / "demo.bin";
  {
    std::mt19937_64 random(42);
    std::ofstream out(plainPath, std::ios::binary);
    for (int i = 0; i < (4 << 20) / 8; ++i) {
      const std::uint64_t word = random();
      out.write(reinterpret_cast<const char*>(&word), sizeof word);
    }
  }
  std::printf("wrote %s (%ju bytes)\n", plainPath.c_str(),
              static_cast<std::uintmax_t>(fs::file_size(plainPath)));

  const bool full = RunForm(folder, plainPath, false);
  const bool light = RunForm(folder, plainPath, true);
  std::puts(full && light ? "demo finished: every step succeeded" : "demo FAILED");
  return full && light ? 0 : 1;
}
