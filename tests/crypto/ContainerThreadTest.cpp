// Full-form containers from 8 threads at once: every thread encrypts and
// decrypts its own data through the stream and the blob calls, all starting
// together, and gets its own bytes back; no two containers share an IV.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/crypto/ContainerTestUtil.h"
#include "utils/crypto/Crypto.h"

namespace Crypto = ZQ::RVL::Utils::Crypto;
using zqtest::Pattern;

TEST(ContainerThreads, FullFormFromEightThreadsAtOnce) {
  constexpr unsigned kThreads = 8, kRounds = 40;
  std::atomic<unsigned> ready{0};
  std::atomic<unsigned> wrong{0};
  std::mutex ivMutex;
  std::set<std::string> ivs;
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Start together, so that first uses of the cipher overlap too.
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      for (unsigned round = 0; round < kRounds; ++round) {
        const std::string plain = Pattern(1 + (t * 997 + round * 131) % 5000, t * 100 + round);
        std::istringstream in(plain);
        std::ostringstream box;
        std::ostringstream back;
        if (!Crypto::StreamEncrypt(in, static_cast<int>(plain.size()), box, false)) ++wrong;
        std::istringstream boxIn(box.str());
        if (!Crypto::StreamDecrypt(boxIn, back, false) || back.str() != plain) ++wrong;

        std::stringstream store;
        const auto* bytes = reinterpret_cast<const unsigned char*>(plain.data());
        if (!Crypto::SerializeImpl(bytes, static_cast<int>(plain.size()), store, false)) ++wrong;
        unsigned char* raw = nullptr;
        int length = 0;
        if (Crypto::DeserializeImpl(store, raw, length, false)) {
          const std::unique_ptr<unsigned char[]> blob(raw);
          if (std::string(reinterpret_cast<const char*>(raw), static_cast<std::size_t>(length)) !=
              plain) {
            ++wrong;
          }
        } else {
          ++wrong;
        }
        const std::lock_guard<std::mutex> lock(ivMutex);
        ivs.insert(box.str().substr(12, 8));
        ivs.insert(store.str().substr(12, 8));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0u, wrong.load());
  EXPECT_EQ(2u * kThreads * kRounds, ivs.size()) << "two containers share an IV";
}
