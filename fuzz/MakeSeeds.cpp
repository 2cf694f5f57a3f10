// Writes the seed corpora of the crypto fuzz targets: valid containers of a
// few sizes in both forms, prefixed with the bytes each target reads first
// (the form, the kind of stream, the call script).
//   zq_make_seeds <fuzz/corpus folder>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
namespace fs = std::filesystem;

namespace {

std::string Container(std::size_t n, bool light) {
  std::string plain(n, '\0');
  for (std::size_t i = 0; i < n; ++i) plain[i] = static_cast<char>('a' + i % 26);
  std::istringstream in(plain);
  std::ostringstream out;
  Crypto::StreamEncrypt(in, static_cast<int>(n), out, light);
  return out.str();
}

void Write(const fs::path& folder, const std::string& name, const std::string& bytes) {
  fs::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary) << bytes;
}

// The byte a target reads to pick its stream (zqfuzz::Input::Stream): the
// seeds go round the three kinds, with and without exceptions.
std::string StreamByte(int seed) {
  return std::string(1, static_cast<char>(seed % 3 | (seed % 2 != 0 ? 4 : 0)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const fs::path root = argv[1];
  for (bool light : {false, true}) {
    const std::string form = light ? "light" : "full";
    const std::string flag(1, light ? '\1' : '\0');
    int seed = light ? 1 : 0;
    for (std::size_t n : {0u, 1u, 100u, 1000u}) {
      const std::string name = form + "-" + std::to_string(n);
      const std::string box = Container(n, light);
      const std::string stream = StreamByte(seed++);
      Write(root / "stream_decrypt", name, flag + stream + box);
      // init, three chunks of 64 and 128 bytes, deinit
      Write(root / "chunked_decryption", name,
            flag + stream + std::string("\x05\x00\xc1\xc3\xc1\x40", 6) + box);
    }
    Write(root / "deserialize", form + "-three",
          std::string(1, light ? '\x07' : '\x00') + StreamByte(seed) + Container(100, light) +
              Container(1, light) + Container(1000, light));
  }
  Write(root / "deserialize", "mixed",
        std::string(1, '\x02') + StreamByte(5) + Container(10, false) + Container(20, true) +
            Container(30, false));
  return 0;
}
