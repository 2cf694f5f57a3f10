#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <valgrind/valgrind.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/crypto/ContainerTestUtil.h"
#include "utils/crypto/Crypto.h"

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

// A destructor that runs after the thread's IV pool is gone (another
// thread_local's at thread exit, a static object's at exit) still gets a
// container with a fresh IV; after OpenSSL's own cleanup (which also comes
// first for a static made before OpenSSL started), a clear false. Each case
// runs in a child that reports by status.
TEST(ContainerIv, WriterInADestructorAfterThePoolIsGone) {
  struct Writer {
    ~Writer() { _exit(IvOf(zqtest::EncryptToString("late", false)).size() == 8 ? 0 : 1); }
  };
  const struct {
    const char* name;
    void (*run)();
  } cases[] = {{"thread_local at thread exit",
                [] {
                  std::thread([] {
                    thread_local Writer writer;
                    (void)&writer;
                    zqtest::EncryptToString("first", false);
                  }).join();
                  _exit(2);  // the writer never ran
                }},
               {"static at exit",
                [] {
                  // Made after OpenSSL started, so it is destroyed before
                  // OpenSSL's own cleanup (exit runs them in reverse order).
                  zqtest::EncryptToString("first", false);
                  static Writer writer;
                  std::exit(2);
                }},
               {"after OpenSSL's cleanup at exit: refused", [] {
                  zqtest::EncryptToString("first", false);
                  OPENSSL_cleanup();
                  std::istringstream in("x");
                  std::ostringstream out;
                  _exit(ZQ::RVL::Utils::Crypto::StreamEncrypt(in, 1, out, false) ? 1 : 0);
                }}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) c.run();
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}

// Children made where the process id says nothing: a server that is PID 1 of
// its namespace (a container) starting a child in a new PID namespace, which
// is PID 1 too. Of 200 IVs each, none may be the other's. Runs where a new
// PID namespace can be made (root, or a user namespace that allows it).
TEST(ContainerIv, APidOneChildOfAPidOneParentNeverRepeatsIt) {
  const auto cloneIntoNewPidNamespace = [] {
    return static_cast<pid_t>(::syscall(SYS_clone, CLONE_NEWPID | SIGCHLD, 0, 0, 0, 0));
  };
  const pid_t outer = cloneIntoNewPidNamespace();
  if (outer < 0) GTEST_SKIP() << "cannot make a PID namespace here: " << std::strerror(errno);
  if (outer == 0) {
    const auto ivs = [](const char* text) {
      std::string all;
      for (int i = 0; i < 200; ++i) all += IvOf(zqtest::EncryptToString(text, false));
      return all;
    };
    ivs("fill the batch");
    int fds[2];
    if (::getpid() != 1 || ::pipe(fds) != 0) _exit(2);
    const pid_t inner = cloneIntoNewPidNamespace();
    if (inner < 0) _exit(2);
    if (inner == 0) {
      const std::string mine = ivs("child");
      _exit(::getpid() == 1 &&
                    ::write(fds[1], mine.data(), mine.size()) == static_cast<ssize_t>(mine.size())
                ? 0
                : 2);
    }
    const std::string parent = ivs("parent");
    std::string child(parent.size(), '\0');
    std::size_t got = 0;
    for (ssize_t n = 1; n > 0 && got < child.size(); got += static_cast<std::size_t>(n)) {
      n = ::read(fds[0], child.data() + got, child.size() - got);
      if (n <= 0) _exit(2);
    }
    const std::set<std::string> theirs = [&] {
      std::set<std::string> set;
      for (std::size_t i = 0; i < child.size(); i += 8) set.insert(child.substr(i, 8));
      return set;
    }();
    for (std::size_t i = 0; i < parent.size(); i += 8) {
      if (theirs.count(parent.substr(i, 8)) != 0) _exit(1);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(outer, ::waitpid(outer, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status)) << "1: an IV repeated; 2: the namespaces could not be set up";
}

// A threaded parent forks while its other threads write containers, each in
// a thread of its own, so that forks meet threads' first OpenSSL calls and
// their ends (where OpenSSL takes locks of its own). Each fork is made from a
// new thread, so the child's one thread has no OpenSSL state yet and its
// first call needs those locks: it must never wait on one a parent thread
// held at the fork. 400 children, each given 10 s.
TEST(ContainerIv, ChildrenOfABusyThreadedParentNeverHang) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime may be locked in a forked child (the process events "
                  "program runs fewer such forks)";
#endif
  if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "400 children of a threaded parent are too slow here";
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([&] {
      while (!stop) std::thread([] { zqtest::EncryptToString("parent", false); }).join();
    });
  }
  int hung = 0;
  for (int i = 0; i < 400; ++i) {
    std::thread([&hung] {
      const pid_t child = ::fork();
      if (child == 0) {
        ::alarm(10);
        _exit(IvOf(zqtest::EncryptToString("child", false)).size() == 8 ? 0 : 1);
      }
      int status = 0;
      if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
          WEXITSTATUS(status) != 0) {
        ++hung;
      }
    }).join();
  }
  stop = true;
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(0, hung);
}
