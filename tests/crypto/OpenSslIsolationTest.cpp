// The toolkit keeps its OpenSSL providers in a private library context: a host
// application that uses OpenSSL's default context sees the same algorithms and
// results after our calls as a process that never called us.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;

namespace {

// What a host sees through the default context, as one comparable text.
std::string HostView() {
  std::string view;
  EVP_CIPHER* bf = EVP_CIPHER_fetch(nullptr, "BF-CBC", nullptr);
  view += bf != nullptr ? "bf:yes " : "bf:no ";
  EVP_CIPHER_free(bf);
  view += OSSL_PROVIDER_available(nullptr, "legacy") ? "legacy:yes " : "legacy:no ";

  EVP_CIPHER* aes = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
  unsigned char out[64] = {};
  int n = 0;
  int m = 0;
  const unsigned char key[16] = {1, 2, 3};
  const unsigned char iv[16] = {4, 5, 6};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const bool aesOk =
      aes != nullptr && EVP_EncryptInit_ex2(ctx, aes, key, iv, nullptr) == 1 &&
      EVP_EncryptUpdate(ctx, out, &n, reinterpret_cast<const unsigned char*>("host plaintext"),
                        14) == 1 &&
      EVP_EncryptFinal_ex(ctx, out + n, &m) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(aes);
  view += aesOk ? "aes:" + std::string(reinterpret_cast<char*>(out), n + m) : "aes:none";

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool shaOk = EVP_Digest("abc", 3, digest, &length, EVP_sha256(), nullptr) == 1;
  view += shaOk ? " sha:" + std::string(reinterpret_cast<char*>(digest), length) : " sha:none";

  unsigned char random[16];
  view += RAND_bytes(random, sizeof random) == 1 ? " rand:ok" : " rand:failed";
  return view;
}

std::string HostViewInPristineChild() {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    const std::string view = HostView();
    const ssize_t written = write(fds[1], view.data(), view.size());
    _exit(written == static_cast<ssize_t>(view.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string view;
  char buffer[256];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) view.append(buffer, n);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return view;
}

}  // namespace

TEST(OpenSslIsolation, HostDefaultContextIsUntouched) {
  // Forked before this process makes any OpenSSL call.
  const std::string pristine = HostViewInPristineChild();

  // Our calls come first in this process, before the host touches OpenSSL.
  std::istringstream in("plain bytes for the container");
  std::stringstream container;
  ASSERT_TRUE(Crypto::StreamEncrypt(in, 29, container, false));
  std::ostringstream back;
  ASSERT_TRUE(Crypto::StreamDecrypt(container, back, false));
  char block[16] = {};
  Crypto::Encrypt(block, 16, false);

  const std::string after = HostView();
  EXPECT_NE(std::string::npos, after.find("aes:") + 1);
  EXPECT_EQ(std::string::npos, after.find("aes:none"));
  EXPECT_EQ(std::string::npos, after.find("rand:failed"));
  EXPECT_EQ(pristine, after);
}
