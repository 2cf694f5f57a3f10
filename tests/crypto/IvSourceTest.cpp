#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/crypto/ContainerTestUtil.h"

namespace {

std::string IvOf(const std::string& container) {
  return container.substr(12, 8);
}

}  // namespace

TEST(ContainerIv, UniqueAcrossContainersAndThreads) {
  std::vector<std::string> ivs[2];
  auto encryptMany = [](std::vector<std::string>& out) {
    for (int i = 0; i < 1500; ++i) out.push_back(IvOf(zqtest::EncryptToString("x", false)));
  };
  std::thread other(encryptMany, std::ref(ivs[0]));
  encryptMany(ivs[1]);
  other.join();
  std::set<std::string> distinct(ivs[0].begin(), ivs[0].end());
  distinct.insert(ivs[1].begin(), ivs[1].end());
  EXPECT_EQ(3000u, distinct.size());
}

// IVs are drawn in batches; a child must not hand out the IVs its parent will
// use next, whether it was made with fork() or without the fork handlers.
TEST(ContainerIv, ForkedChildDoesNotRepeatItsParent) {
  const struct {
    const char* name;
    pid_t (*make)();
  } ways[] = {{"fork", [] { return fork(); }},
              {"_Fork", [] { return _Fork(); }},
              {"SYS_fork", [] { return static_cast<pid_t>(syscall(SYS_fork)); }}};
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    zqtest::EncryptToString("fill the batch", false);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t child = way.make();
    ASSERT_NE(-1, child);
    if (child == 0) {
      close(fds[0]);
      std::string ivs;
      for (int i = 0; i < 4; ++i) ivs += IvOf(zqtest::EncryptToString("child", false));
      _exit(write(fds[1], ivs.data(), ivs.size()) == static_cast<ssize_t>(ivs.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string parent;
    for (int i = 0; i < 4; ++i) parent += IvOf(zqtest::EncryptToString("parent", false));
    std::string fromChild(32, '\0');
    ASSERT_EQ(32, read(fds[0], fromChild.data(), fromChild.size()));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int i = 0; i < 4; ++i) {
      for (int j = 0; j < 4; ++j) {
        EXPECT_NE(parent.substr(8 * i, 8), fromChild.substr(8 * j, 8));
      }
    }
  }
}
