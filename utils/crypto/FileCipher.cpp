// Containers between files named by path: FileEncrypt, FileDecrypt,
// FilePlainSize. The files are owned by stream objects and closed on every path.
#include <sys/stat.h>

#include <climits>
#include <fstream>
#include <optional>

#include "utils/crypto/Crypto.h"
#include "utils/crypto/StreamIo.h"

namespace ZQ::RVL::Utils::Crypto {

namespace {

std::ifstream OpenInput(const char* path) {
  std::ifstream in;
  if (path != nullptr) in.open(path, std::ios::in | std::ios::binary);
  return in;
}

// Returns the size of the open input and rewinds it; nothing when it cannot be
// measured (a pipe, say) or does not fit the container's signed 32-bit size.
std::optional<int> MeasureInput(std::ifstream& in) {
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  in.seekg(0, std::ios::beg);
  if (!in.good() || end < 0 || end > INT_MAX) return std::nullopt;
  return static_cast<int>(end);
}

// True when `outPath` exists and is the very file `inPath` names: opening it
// for writing would destroy the input before it is read.
bool SameFile(const char* inPath, const char* outPath) {
  struct stat inStat {};
  struct stat outStat {};
  return ::stat(inPath, &inStat) == 0 && ::stat(outPath, &outStat) == 0 &&
         inStat.st_dev == outStat.st_dev && inStat.st_ino == outStat.st_ino;
}

// Closes `out`, which flushes what it buffers. Returns false when a write, the
// flush or the close failed.
bool Close(std::ofstream& out) {
  out.close();
  return !out.fail();
}

template <typename Transform>
bool TransformInto(const char* outPath, Transform&& transform) {
  std::ofstream out(outPath, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out.is_open()) return false;
  const bool transformed = transform(out);
  return Close(out) && transformed;
}

// True when `path` names a FIFO: it can never be measured, and opening it
// waits for a writer that may never come.
bool IsFifo(const char* path) {
  struct stat st {};
  return path != nullptr && ::stat(path, &st) == 0 && S_ISFIFO(st.st_mode);
}

}  // namespace

bool FilePlainSize(const char* path, int& size, bool light) {
  std::ifstream in = OpenInput(path);
  if (!in.is_open()) return false;
  return StreamPlainSize(in, size, light);
}

bool FileEncrypt(const char* inPath, const char* outPath, bool light) {
  return internal::StreamFailureAsFalse(nullptr, [&] {
    if (IsFifo(inPath)) return false;
    std::ifstream in = OpenInput(inPath);
    if (!in.is_open() || outPath == nullptr) return false;
    const std::optional<int> size = MeasureInput(in);
    if (!size || SameFile(inPath, outPath)) return false;
    return TransformInto(outPath,
                         [&](std::ofstream& out) { return StreamEncrypt(in, *size, out, light); });
  });
}

bool FileDecrypt(const char* inPath, const char* outPath, bool light) {
  return internal::StreamFailureAsFalse(nullptr, [&] {
    std::ifstream in = OpenInput(inPath);
    if (!in.is_open() || outPath == nullptr || SameFile(inPath, outPath)) return false;
    return TransformInto(outPath,
                         [&](std::ofstream& out) { return StreamDecrypt(in, out, light); });
  });
}

}  // namespace ZQ::RVL::Utils::Crypto
