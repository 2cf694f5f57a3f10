// Durability of zqutil's outputs against a power cut: `crypt encrypt` and
// `crypt decrypt` write OUT, and `prefs import` the settings file, on the
// power-cut file system (tests/support/PowerCutFs.h), and the power is cut at
// a random moment, 210 times. After every cut the output is the old file or
// the whole new one, and the new one when the command had finished.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
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
  // Settings to import: a dictionary of 3000 texts made by plistlib, over one
  // of a single text; and the files the store makes of them (imported on the
  // disk).
  const std::string make = "python3 -c \"import plistlib; d = '" + disk.Path().string() +
                           "/'; open(d + 'old.plist', 'wb').write(plistlib.dumps({'old': 'yes'})); "
                           "open(d + 'new.plist', 'wb').write(plistlib.dumps({'k%d' % i: 'v' * 40 "
                           "for i in range(3000)}, fmt=plistlib.FMT_BINARY))\"";
  ASSERT_EQ(0, std::system(make.c_str()));
  enum Kind { kEncrypt, kDecrypt, kImport };
  std::string importFile = "old.plist";
  auto start = [&](Kind kind, const std::string& root) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const std::string in = disk.File(kind == kImport ? importFile : kind ? "sealed" : "plain");
      const std::string to = mount.File("out");
      ::setenv("ZQ_PREFERENCES_ROOT", root.c_str(), 1);
      if (kind == kImport) {
        ::execl(ZQUTIL_PATH, "zqutil", "prefs", "import", "--company", "C", "--app", "A", "--mode",
                "1", in.c_str(), static_cast<char*>(nullptr));
      }
      ::execl(ZQUTIL_PATH, "zqutil", "crypt", kind == kEncrypt ? "encrypt" : "decrypt", in.c_str(),
              to.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  };
  const auto run = [&](Kind kind, const std::string& root) {
    int status = 0;
    ::waitpid(start(kind, root), &status, 0);
    return status;
  };
  ASSERT_EQ(0, run(kImport, disk.Path()));
  const std::string oldSettings = zqtest::ReadFile(disk.File("user/com.c.A.plist"));
  importFile = "new.plist";
  ASSERT_EQ(0, run(kImport, disk.Path()));
  const std::string imported = zqtest::ReadFile(disk.File("user/com.c.A.plist"));
  ASSERT_NE(oldSettings, imported);
  const std::string old = "the old output\n", out = backing.File("out");
  const std::string settings = backing.File("user/com.c.A.plist");
  // Cuts fall within one and a half times what a whole command takes in
  // this build, so that some come after it finished and most during it.
  std::chrono::microseconds whole{};
  {
    zqtest::PowerCutMount fuse(backing.Path(), mount.Path());
    ASSERT_TRUE(fuse.Mounted());
    for (const Kind kind : {kEncrypt, kImport}) {
      const auto begin = std::chrono::steady_clock::now();
      ASSERT_EQ(0, run(kind, mount.Path()));
      whole = std::max(whole, std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::steady_clock::now() - begin));
    }
  }
  std::uniform_int_distribution<long> delayUs(0, whole.count() * 3 / 2);
  int finished = 0, lost = 0, torn = 0;

  for (int round = 0; round < 210; ++round) {
    const Kind kind = static_cast<Kind>(round % 3);
    const bool encrypt = kind == kEncrypt;
    SCOPED_TRACE(std::to_string(round) + (encrypt ? " encrypt" : kind ? " import" : " decrypt"));
    const std::string& output = kind == kImport ? settings : out;
    const std::string& before = kind == kImport ? oldSettings : old;
    std::filesystem::create_directories(backing.Path() / "user");
    zqtest::WriteFile(output, before);
    zqtest::PowerCutMount fuse(backing.Path(), mount.Path());
    ASSERT_TRUE(fuse.Mounted());
    const pid_t zqutil = start(kind, mount.Path());
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
    ::kill(zqutil, SIGKILL);  // before the cut, so that nothing finishes after it
    int status = 0;
    ASSERT_EQ(zqutil, ::waitpid(zqutil, &status, 0));
    ASSERT_TRUE(fuse.Cut());

    bool isNew = zqtest::ReadFile(output) == (kind == kImport ? imported : plain);
    if (encrypt) {
      isNew = Crypto::FileDecrypt(out.c_str(), disk.File("check").c_str(), false) &&
              zqtest::ReadFile(disk.File("check")) == plain;
    }
    if (WIFEXITED(status)) {
      ASSERT_EQ(0, WEXITSTATUS(status));
      ++finished;
      lost += isNew ? 0 : 1;
    } else {
      torn += isNew || zqtest::ReadFile(output) == before ? 0 : 1;
    }
  }
  EXPECT_EQ(0, lost) << "of " << finished << " finished commands, OUT was not the new file";
  EXPECT_EQ(0, torn) << "cuts mid-command left OUT neither old nor new";
  std::printf("210 cuts, %d after the command had finished\n", finished);
}
