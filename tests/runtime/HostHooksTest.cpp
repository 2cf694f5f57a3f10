// What a host does around the library: fork handlers of its own registered
// before the library's, which call the library while a fork is under way;
// and OpenSSL cleaned up by the host before the library's first call. Every
// row runs in a child of its own, so this program never warms the library.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "tests/config/ConfigTestUtil.h"
#include "utils/config/Config.h"
#include "utils/crypto/Crypto.h"

namespace {

namespace Crypto = ZQ::RVL::Utils::Crypto;

enum Phase { kNone, kPrepare, kParent, kChild };
Phase gPhase = kNone;
bool gSettings = false;
bool gHandlerOk = true;

bool Operate() {
  if (gSettings) {
    const ZQ::RVL::Utils::Config user(1, "Hooks", "Acme");
    ZQ::RVL::Utils::ConfigStatus status;
    return user.SetString("key", "value", status);
  }
  std::istringstream in("plain");
  std::ostringstream out;
  return Crypto::StreamEncrypt(in, 5, out, false);
}

void In(Phase phase) {
  if (gPhase == phase) gHandlerOk = Operate() && gHandlerOk;
}

// Before the library's own handler, which static construction registers.
[[gnu::constructor(101)]] void RegisterFirst() {
  ::pthread_atfork([] { In(kPrepare); }, [] { In(kParent); }, [] { In(kChild); });
}

}  // namespace

// A call into the library from any of the host's fork handlers goes through:
// the fork's own thread is never kept out by its own fork.
TEST(HostHooks, ForkHandlersRegisteredFirstMayCallTheLibrary) {
  const zqtest::TempDir dir;
  const zqtest::ScopedEnv root("ZQ_PREFERENCES_ROOT", dir.Path().string());
  for (const Phase phase : {kPrepare, kParent, kChild}) {
    for (const bool settings : {false, true}) {
      SCOPED_TRACE(std::to_string(phase) + (settings ? " settings" : " container"));
      EXPECT_EQ(0, zqtest::RunInChild([&] {
                  ::alarm(10);
                  Operate();  // warm: the runtime and the store are built
                  gPhase = phase, gSettings = settings;
                  const pid_t child = ::fork();
                  if (child == 0) ::_exit(gHandlerOk ? 0 : 1);
                  // The child inherits no alarm: one that hangs in its fork
                  // handler is killed here.
                  int status = 1;
                  for (int waited = 0; child > 0 && waited < 500; ++waited) {
                    if (::waitpid(child, &status, WNOHANG) == child) {
                      return WIFEXITED(status) && WEXITSTATUS(status) == 0 && gHandlerOk;
                    }
                    ::usleep(10000);
                  }
                  if (child > 0) ::kill(child, SIGKILL);
                  return false;
                }));
    }
  }
}

// OpenSSL cleaned up by the host before the library ever called it (as exit
// does before the destructors of statics made earlier): full-form calls fail
// cleanly, the light form and the settings go on.
TEST(HostHooks, OpenSslCleanedUpBeforeTheFirstCall) {
  const zqtest::TempDir dir;
  const zqtest::ScopedEnv root("ZQ_PREFERENCES_ROOT", dir.Path().string());
  EXPECT_EQ(0, zqtest::RunInChild([] {
              ::alarm(10);
              EVP_MD_free(EVP_MD_fetch(nullptr, "SHA256", nullptr));  // the host's own use
              OPENSSL_cleanup();
              std::istringstream in("plain"), light("plain");
              std::ostringstream out, lightOut;
              gSettings = true;
              return !Crypto::StreamEncrypt(in, 5, out, false) && out.str().empty() &&
                     Crypto::StreamEncrypt(light, 5, lightOut, true) && Operate();
            }));
}
