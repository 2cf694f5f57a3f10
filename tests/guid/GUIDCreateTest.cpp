// Fresh identifiers: RFC 4122 version 4 from the kernel's random source, with
// nothing pooled that a forked child could repeat.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdlib>
#include <set>
#include <string>

#include "utils/guid/GUID.h"

using ZQ::RVL::Utils::GUID;

namespace {

// The 16 bytes in the order the canonical text form prints them.
std::array<unsigned, 16> TextBytes(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (c != '-') hex += c;
  }
  std::array<unsigned, 16> bytes{};
  for (std::size_t i = 0; i < 16; ++i)
    bytes[i] = static_cast<unsigned>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return bytes;
}

}  // namespace

TEST(GUIDCreate, PrintsVersion4AndVariant10WhereTheTextFormPutsThem) {
  std::set<std::string> texts;
  std::array<unsigned, 16> anyOne{}, allOnes;
  allOnes.fill(0xff);
  for (int i = 0; i < 256; ++i) {
    const std::string text = GUID::Create().ToString();
    ASSERT_EQ('4', text[14]) << text;
    ASSERT_NE(std::string::npos, std::string("89ab").find(text[19])) << text;
    texts.insert(text);
    const std::array<unsigned, 16> bytes = TextBytes(text);
    for (std::size_t b = 0; b < 16; ++b) {
      anyOne[b] |= bytes[b];
      allOnes[b] &= bytes[b];
    }
  }
  EXPECT_EQ(256u, texts.size()) << "fresh identifiers repeat";
  // Apart from the six fixed bits, every bit was seen as 0 and as 1, so no
  // byte is lost or stuck on its way from the random source into the fields.
  for (std::size_t b = 0; b < 16; ++b) {
    const unsigned fixedMask = b == 6 ? 0xf0 : b == 8 ? 0xc0 : 0;
    EXPECT_EQ(0xffu, anyOne[b] | fixedMask) << "byte " << b;
    EXPECT_EQ(b == 6 ? 0x40u : b == 8 ? 0x80u : 0u, allOnes[b]) << "byte " << b;
  }
}

TEST(GUIDCreate, ForkedChildDoesNotRepeatItsParent) {
  GUID::Create();  // anything pooled would be filled now, before the fork
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string text = GUID::Create().ToString();
    const bool written = ::write(fds[1], text.data(), text.size()) == 36;
    ::_exit(written ? 0 : 1);
  }
  ::close(fds[1]);
  const std::string parent = GUID::Create().ToString();
  char buffer[36];
  const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_EQ(36, got);
  EXPECT_NE(parent, std::string(buffer, 36));
}

// A static object's destructor runs at exit after the main thread's own
// per-thread objects are gone (the formatter and parser the text functions
// keep): it must still format and parse, in a thread that used them before.
TEST(GUIDCreate, TextFunctionsWorkInAStaticDestructorAtExit) {
  int ends[2];
  ASSERT_EQ(0, ::pipe(ends));
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ends[0]);
    static int out = ends[1];
    static const std::string before = ZQ::RVL::Utils::GUID::Create().ToString();
    struct AtExit {
      ~AtExit() {
        const ZQ::RVL::Utils::GUID id = ZQ::RVL::Utils::GUID::Create();
        const std::string text = id.ToString();
        const char verdict = ZQ::RVL::Utils::GUID::Create(text) == id && text.size() == 36 &&
                                     ZQ::RVL::Utils::GUID::Create(before).ToString() == before
                                 ? 'y'
                                 : 'n';
        if (::write(out, &verdict, 1) != 1) _exit(3);
      }
    };
    static AtExit atExit;
    std::exit(0);
  }
  ::close(ends[1]);
  char verdict = 0;
  EXPECT_EQ(1, ::read(ends[0], &verdict, 1));
  ::close(ends[0]);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ('y', verdict);
}
