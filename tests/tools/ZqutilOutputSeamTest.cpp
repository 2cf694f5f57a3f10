// zqutil's outputs through the file layer's fault seam: every step of
// replacing an output failing in turn leaves the old file or the whole new
// one, never a temporary file, and the command fails with the reason.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/FileFaults.h"
#include "tests/support/TempDir.h"
#include "tools/zqutil/Cli.h"
#include "tools/zqutil/Files.h"

namespace zqutil {
// The commands' failure paths, as exceptions the test can catch.
void Fail(const std::string& message) {
  throw std::runtime_error(message);
}
void UsageError(const std::string& message) {
  throw std::runtime_error(message);
}
}  // namespace zqutil

namespace {

using zqtest::FileFaults;
using Call = ZQ::RVL::Utils::internal::files::Call;

// Writes `bytes` to `path` as a command does; returns the failure's message,
// empty on success.
std::string WriteOutput(const std::string& path, const std::string& bytes) {
  try {
    zqutil::Output out(path);
    out.Stream() << bytes;
    out.Commit();
    return {};
  } catch (const std::runtime_error& failure) {
    return failure.what();
  }
}

}  // namespace

TEST(ZqutilOutputSeam, EveryStepOfAReplacementFailingLeavesTheOldOrTheNewFile) {
  zqtest::TempDir dir;
  const std::string path = dir.File("out.bin");
  const std::string before(100000, 'o');
  const std::string after(150000, 'n');
  for (const bool exists : {true, false}) {
    for (int kind = 0; kind < ZQ::RVL::Utils::internal::files::kCallKinds; ++kind) {
      for (int n = 1;; ++n) {
        SCOPED_TRACE((exists ? "replacing, call kind " : "new file, call kind ") +
                     std::to_string(kind) + " failing at its " + std::to_string(n) + "th");
        std::filesystem::remove(path);
        if (exists) zqtest::WriteFile(path, before);
        std::string failure;
        bool failed = false;
        {
          const FileFaults fault(FileFaults::Mode::kFailNth, static_cast<Call>(kind), n);
          failure = WriteOutput(path, after);
          failed = fault.Failed();
        }
        if (!failed) break;  // past the last call of this kind
        const bool present = std::filesystem::exists(path);
        const std::string now = present ? zqtest::ReadFile(path) : "(none)";
        EXPECT_TRUE(now == after || now == (exists ? before : "(none)")) << now.substr(0, 20);
        if (now != after) {
          EXPECT_NE("", failure);
        }
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
          names.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(present ? std::vector<std::string>{"out.bin"} : std::vector<std::string>{},
                  names);
      }
    }
  }
}

// A device or a network file system may report a failed write only when the
// file is closed: an output written in place fails the command then too.
TEST(ZqutilOutputSeam, AFailureAtTheCloseOfAnOutputWrittenInPlaceFailsTheCommand) {
  const FileFaults fault(FileFaults::Mode::kFailNth, Call::kClose);
  EXPECT_NE("", WriteOutput("/dev/null", std::string(300, 'x')));
  EXPECT_TRUE(fault.Failed());
}
