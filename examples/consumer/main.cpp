// A tiny application built against an installed ZQ::RVL::Utils: one call into
// each service, each checked against an answer that does not come from the
// toolkit itself. Exits 0 when every check holds, 1 otherwise.
//
// Config writes to the current user's preferences; set ZQ_PREFERENCES_ROOT to
// a scratch folder to keep them out of your home.
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <unordered_set>

#include "utils/config/Config.h"
#include "utils/config/PreferenceLocation.h"
#include "utils/crypto/Crypto.h"
#include "utils/guid/GUID.h"

namespace {

namespace Crypto = ZQ::RVL::Utils::Crypto;
using ZQ::RVL::Utils::Config;
using ZQ::RVL::Utils::GUID;

int failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%-58s %s\n", what, ok ? "ok" : "FAILED");
  if (!ok) ++failures;
}

std::string Hex(const char* bytes, int length) {
  std::string text;
  char digits[3];
  for (int i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(bytes[i]));
    text += digits;
  }
  return text;
}

void UseCrypto() {
  // The AES-128 example of FIPS-197, appendix C.1.
  char block[16];
  char key[16];
  for (int i = 0; i < 16; ++i) {
    block[i] = static_cast<char>(0x11 * i);
    key[i] = static_cast<char>(i);
  }
  Crypto::Encrypt(block, sizeof block, key, /*light=*/false);
  Check(Hex(block, 16) == "69c4e0d86a7b0430d8cdb78070b4c55a",
        "Crypto::Encrypt gives FIPS-197's ciphertext");

  // A container through a stream and back.
  const std::string plain = "packaged and installed";
  std::istringstream in(plain);
  std::stringstream box;
  const bool written = Crypto::StreamEncrypt(in, static_cast<int>(plain.size()), box, false);
  std::ostringstream out;
  const bool read = written && Crypto::StreamDecrypt(box, out, false);
  Check(read && out.str() == plain, "Crypto::StreamEncrypt/StreamDecrypt round trip");
}

void UseConfig() {
  Check(ZQ::RVL::Utils::PreferenceDomainName("Consumer", "Example Corp") ==
            "com.examplecorp.Consumer",
        "PreferenceDomainName names the domain");
  const Config config(1, "Consumer", "Example Corp");
  config.SetString("greeting", "hello");
  config.SetValue("answer", 42);
  std::string greeting;
  std::int32_t answer = 0;
  Check(config.GetString("greeting", greeting) && greeting == "hello" &&
            config.GetValue("answer", answer) && answer == 42,
        "Config stores and reads back a text and a number");
  config.Delete("greeting");
  config.Delete("answer");
  Check(!config.GetString("greeting", greeting), "Config::Delete removes the key");
}

void UseGuid() {
  const GUID parsed = GUID::Create("{6BA7B810-9DAD-11D1-80B4-00C04FD430C8}");
  std::ostringstream text;
  text << parsed;
  Check(text.str() == "6ba7b810-9dad-11d1-80b4-00c04fd430c8",
        "GUID parses and prints the canonical form");
  const GUID fresh = GUID::Create();
  Check(fresh != GUID{} && GUID::Create(fresh.ToString()) == fresh && ((fresh.data3 >> 12) == 4),
        "GUID::Create gives a version 4 id that parses back");
  const std::unordered_set<GUID> ids{parsed, fresh, parsed};
  Check(ids.size() == 2, "std::hash<GUID> keys an unordered_set");
}

}  // namespace

int main() {
  UseCrypto();
  UseConfig();
  UseGuid();
  std::printf("%s\n", failures == 0 ? "consumer: all checks passed" : "consumer: checks failed");
  return failures == 0 ? 0 : 1;
}
