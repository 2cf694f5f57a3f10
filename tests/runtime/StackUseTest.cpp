// Each public call takes at most 16 KiB of the calling thread's stack, as the
// headers promise. A call runs on a thread whose stack is ours, painted first;
// the deepest byte changed, less an empty thread's, is its use. The first rows
// are the process's first container and settings write (they build the OpenSSL
// runtime and the store). Sanitizers make frames larger: no run under them.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <valgrind/memcheck.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "tests/config/ConfigTestUtil.h"
#include "tests/crypto/ContainerTestUtil.h"
#include "utils/config/Config.h"
#include "utils/config/PreferenceTransfer.h"
#include "utils/crypto/Crypto.h"
#include "utils/guid/GUID.h"

namespace {

namespace Crypto = ZQ::RVL::Utils::Crypto;
namespace Utils = ZQ::RVL::Utils;
constexpr std::size_t kStack = 1024 * 1024;

// Runs `call` on a thread with a freshly painted stack; returns the bytes of
// it that changed.
std::size_t StackTouched(std::function<void()> call) {
  auto* stack = static_cast<unsigned char*>(
      ::mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (stack == MAP_FAILED) return kStack;
  std::memset(stack, 0xa5, kStack);
  pthread_attr_t attr;
  pthread_t thread;
  ::pthread_attr_init(&attr);
  ::pthread_attr_setstack(&attr, stack, kStack);
  const auto body = [](void* f) -> void* { return (*static_cast<decltype(call)*>(f))(), nullptr; };
  if (::pthread_create(&thread, &attr, body, &call) == 0) ::pthread_join(thread, nullptr);
  ::pthread_attr_destroy(&attr);
  // Valgrind marks an ended thread's stack unaddressable; it is ours to read.
  VALGRIND_MAKE_MEM_DEFINED(stack, kStack);
  std::size_t untouched = 0;
  while (untouched < kStack && stack[untouched] == 0xa5) ++untouched;
  ::munmap(stack, kStack);
  return kStack - untouched;
}

TEST(StackUse, EveryPublicCallStaysWithin16KiB) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's frames are larger than the library's own";
#endif
  const zqtest::TempDir dir;
  const zqtest::ScopedEnv root("ZQ_PREFERENCES_ROOT", dir.Path().string());
  const std::string plain(100000, 'x'), plainFile = dir.File("plain"), boxFile = dir.File("box");
  std::ofstream(plainFile) << plain;
  const Utils::Config user(1, "Stack", "Probe Co");  // builds nothing yet
  const auto* bytes = reinterpret_cast<const unsigned char*>(plain.data());
  const char key[16] = {};
  std::string full, block(4096, 'b'), value, file, why;
  const std::size_t empty = StackTouched([] {});
  const auto row = [&](const char* name, std::function<void()> call) {
    const std::size_t used = StackTouched(std::move(call)) - empty;
    std::printf("%-48s %6zu bytes of stack\n", name, used);
    EXPECT_LE(used, 16u * 1024) << name;
  };
  row("first full-form container of the process",
      [&] { full = zqtest::EncryptToString(plain, false); });
  row("first settings write of the process", [&] { user.SetString("key", "value"); });
  row("streams: the light form, and decryption of both", [&] {
    zqtest::DecryptString(zqtest::EncryptToString(plain, true), true);
    zqtest::DecryptString(full, false);
  });
  row("chunked decryption", [&] {
    std::istringstream in(full);
    int size = 0, length = 0;
    for (bool ok = Crypto::DecryptStreamInit(in, size, false); ok && !in.eof();)
      ok = Crypto::DecryptStreamChunk(in, &block[0], length = 4096, false);
    Crypto::DecryptStreamDeinit();
  });
  row("FileEncrypt and FileDecrypt", [&] {
    Crypto::FileEncrypt(plainFile.c_str(), boxFile.c_str(), false);
    Crypto::FileDecrypt(boxFile.c_str(), (plainFile + ".back").c_str(), false);
  });
  row("SerializeImpl and DeserializeImpl", [&] {
    std::stringstream blob;
    unsigned char* back = nullptr;
    int length = 0;
    Crypto::SerializeImpl(bytes, int(plain.size()), blob, false);
    if (Crypto::DeserializeImpl(blob, back, length, false)) delete[] back;
  });
  row("AES Encrypt", [&] { Crypto::Encrypt(&block[0], 16, key, false); });
  row("GUID", [] { Utils::GUID::Create(Utils::GUID::Create().ToString()); });
  row("settings, their export and import", [&] {
    for (int i = 0; i < 50; ++i) user.SetString("key" + std::to_string(i), plain.substr(0, 400));
    user.GetString("key7", value), user.GetKeys(), user.Delete("key3");
    Utils::ExportPreferences(1, "Stack", "Probe Co", Utils::PreferenceFormat::kXml, file);
    Utils::ImportPreferences(1, "Stack", "Probe Co", file, why);
  });
}

}  // namespace
