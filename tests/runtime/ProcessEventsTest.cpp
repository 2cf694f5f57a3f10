// Events in a process's life (kEvents) crossed with the library's operations
// (kOpNames): nothing may hang, crash or lose a result. Each cell runs in a
// fresh process, a fork of this one (which never calls the library itself),
// that says a byte per run: y (whole), n (failed), c (crashed) or h (hung:
// stopped by an alarm at its deadline). IVs across processes: IvSourceTest.cpp.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <valgrind/valgrind.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <tuple>

#include "tests/crypto/ContainerTestUtil.h"
#include "tests/support/TempDir.h"
#include "utils/config/Config.h"
#include "utils/crypto/Crypto.h"

namespace {

namespace Crypto = ZQ::RVL::Utils::Crypto;
using ZQ::RVL::Utils::Config;
using Text = const std::string&;

#if defined(__SANITIZE_ADDRESS__)
const std::string kSanitizer = "AddressSanitizer";
#elif defined(__SANITIZE_THREAD__)
const std::string kSanitizer = "ThreadSanitizer";
#else
const std::string kSanitizer;
#endif
const int kSlowdown = [] { return RUNNING_ON_VALGRIND ? 10 : kSanitizer.empty() ? 1 : 3; }();
const int kBudget = kSlowdown > 1 ? 5 : 3;  // seconds after which no run starts

// The operations' calls: the linked ones, or those of a `library` loaded by
// dlopen (null when missing): StreamEncrypt, StreamDecrypt, DecryptStreamInit,
// DecryptStreamChunk, DecryptStreamDeinit, Config's SetString and GetString.
#define ZQ_TEXT "RKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"
const char* const kSymbols[] = {"_ZN2ZQ3RVL5Utils6Crypto13StreamEncryptERSiiRSob",
                                "_ZN2ZQ3RVL5Utils6Crypto13StreamDecryptERSiRSob",
                                "_ZN2ZQ3RVL5Utils6Crypto17DecryptStreamInitERSiRib",
                                "_ZN2ZQ3RVL5Utils6Crypto18DecryptStreamChunkERSiPcRib",
                                "_ZN2ZQ3RVL5Utils6Crypto19DecryptStreamDeinitEv",
                                "_ZNK2ZQ3RVL5Utils6Config9SetStringE" ZQ_TEXT "SA_",
                                "_ZNK2ZQ3RVL5Utils6Config9GetStringE" ZQ_TEXT "RS8_"};
#undef ZQ_TEXT
template <typename F>
F* Fn(void* library, int symbol, F* linked) {
  return library ? reinterpret_cast<F*>(::dlsym(library, kSymbols[symbol])) : linked;
}
struct Members {
  static void Set(const Config* c, Text k, Text v) { c->SetString(k, v); }
  static bool Get(const Config* c, Text k, std::string& v) { return c->GetString(k, v); }
};
enum Op { kContainerWrite, kChunkRead, kMode0Settings, kMode1Settings };
const char* const kOpNames[] = {"ContainerWrite", "ChunkRead", "Mode0Settings", "Mode1Settings"};

const auto Plain = [](unsigned n) { return zqtest::Pattern(100 + n % 300, n + 1); };
// Never destroyed: threads still use them while the process exits.
const std::string& kChunkPlain = *new std::string(Plain(7));
std::string& gChunkContainer = *new std::string;  // kChunkPlain in a container

// Decrypts `container` with the chunked calls, `chunk` bytes at a time: y when
// it delivered `plain`, n when a call failed, w when all passed with wrong bytes.
char ChunkRead(Text container, Text plain, bool light, int chunk, void* library = nullptr) {
  std::istringstream in(container);
  int size = 0;
  bool ok = Fn(library, 2, Crypto::DecryptStreamInit)(in, size, light) && size == int(plain.size());
  std::string out, buffer(static_cast<std::size_t>(chunk), '\0');
  for (int length = chunk; ok && out.size() <= plain.size() && !in.eof(); length = chunk) {
    ok = Fn(library, 3, Crypto::DecryptStreamChunk)(in, buffer.data(), length, light);
    out.append(buffer.data(), ok ? static_cast<std::size_t>(length) : 0);
  }
  Fn(library, 4, Crypto::DecryptStreamDeinit)();
  return !ok ? 'n' : out == plain ? 'y' : 'w';
}

// Runs `op` once as `who` (a setting's key), `n` varying the bytes; true when
// the result came back whole. Mode 0 is all users on this machine, mode 1 the
// current user.
bool RunOp(int op, Text who, unsigned n, void* library = nullptr) {
  if (op == kContainerWrite) {
    const std::string plain = Plain(n);
    std::stringstream in(plain), container, back;
    return Fn(library, 0, Crypto::StreamEncrypt)(in, int(plain.size()), container, false) &&
           Fn(library, 1, Crypto::StreamDecrypt)(container, back, false) && back.str() == plain;
  }
  if (op == kChunkRead) return ChunkRead(gChunkContainer, kChunkPlain, false, 64, library) == 'y';
  const Config config(op - kMode0Settings, "Events", "Acme");
  const std::string value = who + "=" + std::to_string(n);
  std::string back;
  Fn(library, 5, Members::Set)(&config, who, value);
  return Fn(library, 6, Members::Get)(&config, who, back) && back == value;
}

// Seconds a child running `op` may take (a setting waits up to 5 s for its lock).
const auto Deadline = [](int op) { return (op >= kMode0Settings ? 12 : 5) * kSlowdown; };
int gSay = -1;  // where InChild's child reports
const auto Say = [](char byte) { (void)!::write(gSay, &byte, 1); };
pid_t (*const kFork)() = [] { return ::fork(); };
pid_t (*const kUnderscoreFork)() = [] { return ::_Fork(); };
pid_t (*const kCloneNewPid)() = [] {
  return static_cast<pid_t>(::syscall(SYS_clone, CLONE_NEWPID | SIGCHLD, 0, 0, 0, 0));
};

// Runs `body` in a child made by `make` (s: none was made) for at most
// `seconds`; returns how the child ended, and in `said` what it said.
template <typename Body>
char InChild(pid_t (*make)(), int seconds, std::string* said, Body body) {
  int fds[2], status = 0;
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return 'n';
  std::fflush(nullptr);
  const pid_t child = make();
  if (child == 0) gSay = fds[1], ::alarm(unsigned(seconds)), body(), ::_exit(127);
  if (child > 0) ::waitpid(child, &status, 0);
  for (char c; said && ::read(fds[0], &c, 1) == 1;) *said += c;
  ::close(fds[0]), ::close(fds[1]);
  if (child < 0 || !WIFSIGNALED(status)) return child < 0 ? 's' : WEXITSTATUS(status) ? 'n' : 'y';
  return WTERMSIG(status) == SIGALRM ? 'h' : 'c';
}

// The child runs `op` once; in a new PID namespace it must be that namespace's 1.
char OpInChild(pid_t (*make)(), int op, unsigned n) {
  return InChild(make, Deadline(op), nullptr, [&] {
    const bool first = make != kCloneNewPid || ::getpid() == 1;
    ::_exit(first && RunOp(op, "child" + std::to_string(n), n) ? 0 : 1);
  });
}

const struct {
  const char* name;
  const char* how;     // see RunFresh
  pid_t (*make)();     // the children that run the operation, if any
  int runs, slowRuns;  // in a release build; under sanitizers or valgrind
} kEvents[] = {
    {"ForkFromBusyThreadedParent", "fork", kFork, 100, 10},
    // _Fork runs no handler, so a child made while another thread is inside
    // malloc or OpenSSL may hang; here the threads are idle, and every child
    // must still call, whatever their calls left behind (a busy flag, a random
    // pool, a gate's count, a held lock).
    {"UnderscoreForkFromIdleThreadedParent", "_Fork", kUnderscoreFork, 100, 10},
    {"CloneIntoNewPidNamespace", "clone", kCloneNewPid, 50, 10},
    {"ExitWithFirstCallsInFlight", "exit", nullptr, 100, 10},
    {"StaticDestructorAtExit", "static", nullptr, 4, 2},
    {"DlopenDlclose", "dlopen", nullptr, 200, 20},
    {"ForkInSignalHandler", "signal", nullptr, 200, 40},
    {"CancelledThread", "cancel", nullptr, 50, 10},
};

struct CallAtExit {  // made before the first call in even runs: OpenSSL cleans up first
  int op;
  unsigned i;
  ~CallAtExit() { Say(RunOp(op, "atExit", i) == (op >= kMode0Settings || i % 2) ? 'y' : 'n'); }
};

volatile sig_atomic_t gSignals = 0;
void ForkingHandler(int) {
  const int savedErrno = errno;
  int status = 1;
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  Say(child > 0 && ::waitpid(child, &status, 0) == child && status == 0 ? 'y' : 'n');
  gSignals = gSignals + 1, errno = savedErrno;
}

void* CallForever(void* op) {  // or until the thread is cancelled
  for (unsigned n = 0;; ++n) RunOp(*static_cast<int*>(op), "forever", n), ::pthread_testcancel();
}

// Runs an event in this fresh process, saying how each run went.
[[noreturn]] void RunFresh(const std::string& how, pid_t (*make)(), int op, int runs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kBudget);
  static std::mutex chunkTurn;  // one chunked decryption at a time, as documented
  static std::atomic<int> idle{0}, done{0};
  // Before the children, the main thread calls and four others call: without
  // pause (fork waits for their calls), or a few times and then never again.
  if (make != nullptr && !RunOp(op, "parent", 0)) Say('n');
  for (int t = 0; (make == kFork || make == kUnderscoreFork) && t < 4; ++t) {
    std::thread([=] {
      for (unsigned n = 0; make == kFork || n < 5; ++n) {
        std::unique_lock<std::mutex> turn(chunkTurn, std::defer_lock);
        if (op == kChunkRead) turn.lock();
        if (!RunOp(op, "thread" + std::to_string(t), n) && !done) Say('n');
      }
      for (++idle;;) ::pause();
    }).detach();
  }
  while (make == kUnderscoreFork && idle < 4) std::this_thread::yield();
  itimerval every = {{0, 1000}, {0, 1000}};  // a forking handler each ms of CPU time or tick
  if (how == "signal") ::signal(SIGPROF, ForkingHandler), ::setitimer(ITIMER_PROF, &every, nullptr);
  rusage usage{}, warm{};
  int i = 0;
  for (; how == "signal" ? gSignals < runs : i < runs + (how == "dlopen" ? 20 : 0); ++i) {
    if (std::chrono::steady_clock::now() > end) break;
    const auto n = static_cast<unsigned>(i);
    std::string said;
    if (make != nullptr) {
      Say(OpInChild(make, op, n));
    } else if (how == "exit") {  // four threads make the first calls; exit comes 0-5 ms later
      Say(InChild(kFork, Deadline(op), nullptr, [&] {
        for (int t = 0; t < 4; ++t) std::thread(CallForever, &op).detach();
        std::this_thread::sleep_for(std::chrono::microseconds(i * 5000 / std::max(1, runs - 1)));
        std::exit(0);
      }));
    } else if (how == "static") {  // a static object calls in its destructor
      const char outcome = InChild(kFork, Deadline(op), &said, [&] {
        const auto makeStatic = [&] { static CallAtExit callAtExit{op, n}; };
        if (i % 2 == 0) makeStatic();
        if (!RunOp(op, "inMain", n)) std::_Exit(3);
        makeStatic();
        std::exit(0);
      });
      Say(outcome != 'y' ? outcome : said == "y" ? 'y' : 'n');
    } else if (how == "dlopen") {  // cycles of dlopen, run, dlclose; the first 20 warm up
      if (i == 20) ::getrusage(RUSAGE_SELF, &warm);
      void* library = ::dlopen(std::getenv("ZQ_SHARED_LIBRARY"), RTLD_NOW | RTLD_LOCAL);
      const bool ok = library != nullptr && RunOp(op, "dlopen", n, library);
      if (i >= 20 || !ok) Say(ok ? 'y' : 'n');
      if (library != nullptr) ::dlclose(library);
    } else if (how == "signal") {  // one thread: fork takes no malloc lock (the call may hold one)
      if (!RunOp(op, "main", n)) Say('n');
    } else if (how == "cancel") {  // then the main thread calls, and a child
      pthread_t thread;
      ::pthread_create(&thread, nullptr, CallForever, &op);
      std::this_thread::sleep_for(std::chrono::microseconds(i * 997 % 3000));
      ::pthread_cancel(thread);
      ::pthread_join(thread, nullptr);
      Say(RunOp(op, "main", n) ? OpInChild(kFork, op, n) : 'n');
    }
  }
  done = 1, every = {}, ::setitimer(ITIMER_PROF, &every, nullptr);
  ::getrusage(RUSAGE_SELF, &usage);  // resident memory may grow by 2 MiB at most
  if (how == "dlopen" && kSlowdown == 1 && usage.ru_maxrss - warm.ru_maxrss > 2048) Say('n');
  std::string value;  // and the value the last run set at exit was stored
  if (how == "static" && op >= kMode0Settings) {
    Config(op - kMode0Settings, "Events", "Acme").GetString("atExit", value);
    if (value != "atExit=" + std::to_string(i - 1)) Say('n');
  }
  std::exit(0);
}

class ProcessEvents : public ::testing::TestWithParam<int> {};  // event * 4 + operation

}  // namespace

TEST_P(ProcessEvents, NothingHangsCrashesOrLosesAResult) {
  const auto& event = kEvents[GetParam() / 4];
  const std::string how = event.how;
  if (RUNNING_ON_VALGRIND && (how == "fork" || how == "_Fork")) {
    GTEST_SKIP() << "children under valgrind count the parent's threads as leaks";
  } else if (how == "fork" && kSanitizer == "AddressSanitizer") {
    GTEST_SKIP() << "GCC 12's AddressSanitizer takes no lock of its allocator around fork()";
  } else if (how == "signal" && kSanitizer == "ThreadSanitizer") {
    GTEST_SKIP() << kSanitizer << " flags fork() in a handler";
  }
  if (gChunkContainer.empty()) {  // made in a child: this process never calls the library
    InChild(kFork, Deadline(kChunkRead), &gChunkContainer, [] {
      const std::string box = zqtest::EncryptToString(kChunkPlain, false);
      (void)!::write(gSay, box.data(), box.size());
    });
  }
  const zqtest::TempDir dir;
  const int op = GetParam() % 4, runs = kSlowdown > 1 ? event.slowRuns : event.runs;
  std::string outcomes;
  const char outcome = InChild(kFork, kBudget + Deadline(op) + 2 * kSlowdown, &outcomes, [&] {
    ::setenv("ZQ_SHARED_LIBRARY", ZQ_LOADABLE_LIBRARY, 0);  // the build's, unless one is named
    ::setenv("ZQ_PREFERENCES_ROOT", dir.Path().c_str(), 1);
    ::unsetenv("ZQ_HOST_ID");  // mode 0 finds this machine's own id
    RunFresh(how, event.make, op, runs);
  });
  if (outcomes[0] == 's') GTEST_SKIP() << "no child could be made (clone: no PID namespace)";
  if (outcome != 'y') outcomes += outcome;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.Path())) {
    const auto kind = entry.path().extension();  // no temporary left behind at exit
    EXPECT_TRUE(how != "static" || entry.is_directory() || kind == ".plist" || kind == ".lock")
        << entry.path();
  }
  const auto count = [&](char c) { return std::count(outcomes.begin(), outcomes.end(), c); };
  std::printf("[ events   ] %zu of %d runs: %td whole, %td failed, %td crashed, %td hung\n",
              outcomes.size(), runs, count('y'), count('n'), count('c'), count('h'));
  EXPECT_FALSE(outcomes.empty());
  EXPECT_EQ(std::string(outcomes.size(), 'y'), outcomes);
}

INSTANTIATE_TEST_SUITE_P(Cross, ProcessEvents, ::testing::Range(0, int(std::size(kEvents)) * 4),
                         [](const auto& cell) {
                           return std::string(kEvents[cell.param / 4].name) + "_" +
                                  kOpNames[cell.param % 4];
                         });

// Two chunked decryptions at once (the first in the light form or not, the
// second in the full form), each in its own thread, in a child per row. A call
// that finds the process-wide context in the other's call returns false and
// changes nothing; one whose every call returned true delivered its bytes.
TEST(ChunkedDecryptionTwoAtOnce, NeverCorruptsOrDeliversWrongBytes) {
  const std::tuple<const char*, bool, int, int> rows[] = {
      {"full form, one block per call in both", false, 8, 8},
      {"full form, 64-byte chunks beside the whole container at once", false, 64, 4096},
      {"light form beside the full form: its init and deinit close it", true, 16, 64},
  };
  for (const auto& row : rows) {
    const auto& [name, light, firstChunk, secondChunk] = row;
    const bool firstLight = light;
    const int first = firstChunk, second = secondChunk;
    std::string said;
    const char outcome = InChild(kFork, Deadline(kChunkRead), &said, [&] {
      const auto decryptMany = [](bool form, int chunk, unsigned seed) {
        const std::string plain = Plain(seed), box = zqtest::EncryptToString(plain, form);
        for (int r = 0; r < 300 / kSlowdown; ++r) Say(ChunkRead(box, plain, form, chunk));
      };
      std::thread other(decryptMany, false, second, 250u);
      decryptMany(firstLight, first, 3u);
      other.join();
      ::_exit(0);
    });
    EXPECT_EQ('y', outcome) << name << ": n: a sanitizer's report, c: a crash, h: a hang";
    EXPECT_EQ(std::string::npos, said.find('w')) << name << ": a decryption gave wrong bytes";
    EXPECT_NE(std::string::npos, said.find('y')) << name << ": no decryption ever succeeded";
  }
}
