// Containers between files named by path: FileEncrypt, FileDecrypt,
// FilePlainSize, through the file layer (utils/file/File.h), whose policy the
// File* contracts in Crypto.h state in the caller's words.
#include <sys/stat.h>

#include <climits>
#include <istream>
#include <ostream>

#include "utils/crypto/Crypto.h"
#include "utils/crypto/StreamIo.h"
#include "utils/file/File.h"
#include "utils/file/FileStream.h"

namespace ZQ::RVL::Utils::Crypto {

namespace {

using Utils::internal::FileStreamBuf;
using Utils::internal::OpenedFile;

// Opens the input: a regular file (through links), never waiting on a FIFO
// or reading a device that never ends.
bool OpenInput(const char* path, OpenedFile& in) {
  return path != nullptr && Utils::internal::OpenForReading(path, {}, in);
}

// Opens `outPath` for writing in place, as fopen("wb") does, under the
// layer's policy; a new file gets no more permission than the input has.
bool OpenOutput(const char* outPath, const OpenedFile& in, OpenedFile& out) {
  if (outPath == nullptr) return false;
  Utils::internal::InPlacePolicy policy;
  policy.newMode = in.info.st_mode & 0666;
  policy.input = &in.info;
  return Utils::internal::OpenForWritingInPlace(outPath, policy, out);
}

// Runs `transform(std::istream&, std::ostream&)` from `in` into `out`, then
// writes out what is buffered and closes `out`. False when the transform, a
// write, the flush or the close failed.
template <typename Transform>
bool TransformFile(OpenedFile& in, OpenedFile& out, Transform&& transform) {
  FileStreamBuf inBuffer(in.fd.Get());
  FileStreamBuf outBuffer(out.fd.Get());
  std::istream input(&inBuffer);
  std::ostream output(&outBuffer);
  const bool transformed =
      internal::StreamFailureAsFalse(nullptr, [&] { return transform(input, output); });
  const bool flushed = outBuffer.Flush();
  return out.fd.Close() && flushed && transformed;
}

}  // namespace

bool FilePlainSize(const char* path, int& size, bool light) {
  OpenedFile in;
  if (!OpenInput(path, in)) return false;
  FileStreamBuf buffer(in.fd.Get(), 64);
  std::istream input(&buffer);
  return StreamPlainSize(input, size, light);
}

bool FileEncrypt(const char* inPath, const char* outPath, bool light) {
  OpenedFile in;
  OpenedFile out;
  if (!OpenInput(inPath, in) || in.info.st_size > INT_MAX || !OpenOutput(outPath, in, out)) {
    return false;
  }
  const int size = static_cast<int>(in.info.st_size);
  return TransformFile(in, out, [&](std::istream& input, std::ostream& output) {
    return StreamEncrypt(input, size, output, light);
  });
}

bool FileDecrypt(const char* inPath, const char* outPath, bool light) {
  OpenedFile in;
  OpenedFile out;
  if (!OpenInput(inPath, in) || !OpenOutput(outPath, in, out)) return false;
  return TransformFile(in, out, [&](std::istream& input, std::ostream& output) {
    return StreamDecrypt(input, output, light);
  });
}

}  // namespace ZQ::RVL::Utils::Crypto
