// Durability of zqutil's outputs against a power cut: `crypt encrypt` and
// `crypt decrypt` write OUT on the power-cut file system (tests/support/
// PowerCutFs.h), and the power is cut at a random moment, 200 times. After
// every cut OUT is the old file or the whole new one, and the new one when the
// command had finished.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "tests/support/PowerCutFs.h"
#include "tests/support/TempDir.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;

TEST(ZqutilPowerCut, OutputIsOldOrWholeNew) {
  if (const std::string why = zqtest::PowerCutMount::Unusable(); !why.empty()) GTEST_SKIP() << why;
  zqtest::TempDir disk, backing, mount;
  std::string plain(200000, '\0');
  std::mt19937 random(20261210);  // fixed: a failing round can be replayed
  for (char& c : plain) c = static_cast<char>(random());
  zqtest::WriteFile(disk.File("plain"), plain);
  ASSERT_TRUE(Crypto::FileEncrypt(disk.File("plain").c_str(), disk.File("sealed").c_str(), false));
  const std::string old = "the old output\n", out = backing.File("out");
  auto start = [&](bool encrypt) {
    const std::string in = disk.File(encrypt ? "plain" : "sealed"), to = mount.File("out");
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl(ZQUTIL_PATH, "zqutil", "crypt", encrypt ? "encrypt" : "decrypt", in.c_str(),
              to.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  };
  // Cuts fall within one and a half times what a whole command takes in
  // this build, so that some come after it finished and most during it.
  std::chrono::microseconds whole{};
  {
    zqtest::PowerCutMount fuse(backing.Path(), mount.Path());
    ASSERT_TRUE(fuse.Mounted());
    const auto begin = std::chrono::steady_clock::now();
    int status = 0;
    ASSERT_EQ(0, (::waitpid(start(true), &status, 0), status));
    whole = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - begin);
  }
  std::uniform_int_distribution<long> delayUs(0, whole.count() * 3 / 2);
  int finished = 0, lost = 0, torn = 0;

  for (int round = 0; round < 200; ++round) {
    const bool encrypt = round % 2 == 0;
    SCOPED_TRACE(std::to_string(round) + (encrypt ? " encrypt" : " decrypt"));
    zqtest::WriteFile(out, old);
    zqtest::PowerCutMount fuse(backing.Path(), mount.Path());
    ASSERT_TRUE(fuse.Mounted());
    const pid_t zqutil = start(encrypt);
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
    ::kill(zqutil, SIGKILL);  // before the cut, so that nothing finishes after it
    int status = 0;
    ASSERT_EQ(zqutil, ::waitpid(zqutil, &status, 0));
    ASSERT_TRUE(fuse.Cut());

    bool isNew = zqtest::ReadFile(out) == plain;
    if (encrypt) {
      isNew = Crypto::FileDecrypt(out.c_str(), disk.File("check").c_str(), false) &&
              zqtest::ReadFile(disk.File("check")) == plain;
    }
    if (WIFEXITED(status)) {
      ASSERT_EQ(0, WEXITSTATUS(status));
      ++finished;
      lost += isNew ? 0 : 1;
    } else {
      torn += isNew || zqtest::ReadFile(out) == old ? 0 : 1;
    }
  }
  EXPECT_EQ(0, lost) << "of " << finished << " finished commands, OUT was not the new file";
  EXPECT_EQ(0, torn) << "cuts mid-command left OUT neither old nor new";
  std::printf("200 cuts, %d after the command had finished\n", finished);
}
