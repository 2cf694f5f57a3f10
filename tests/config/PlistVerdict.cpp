// Prints the store's verdict on each file of a stream, for
// plist_xml_differential.py: the files come on standard input, each as its
// size in decimal, a line feed, then its bytes. For each it prints one line,
// "accept", or "refuse", a tab, "limit" or "rule", a tab and the reason.
// Exits 2 on a stream it cannot read.
#include <cstdio>
#include <string>
#include <string_view>

#include "utils/config/store/PlistCodec.h"

namespace P = ZQ::RVL::Utils::Preferences;

namespace {

// The one call into the store: the rest of this program only frames files.
std::string Verdict(std::string_view file) {
  P::PlistRefusal why;
  if (P::CheckPlist(file, &why)) return "accept";
  return std::string("refuse\t") + (why.overLimits ? "limit" : "rule") + "\t" + why.Text();
}

}  // namespace

int main() {
  std::string file;
  for (;;) {
    unsigned long long size = 0;
    const int read = std::scanf("%llu", &size);
    if (read == EOF) return 0;
    // A size beyond what the stream can hold is caught by the short read.
    if (read != 1 || std::getchar() != '\n' || size > (std::size_t{1} << 30)) return 2;
    file.resize(static_cast<std::size_t>(size));
    if (std::fread(file.data(), 1, file.size(), stdin) != file.size()) return 2;
    std::string line = Verdict(file);
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';  // a key in the reason stays on its line
    }
    std::printf("%s\n", line.c_str());
  }
}
