// zqutil crypt encrypt|decrypt|info|chunks
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/zqutil/Cli.h"
#include "tools/zqutil/ContainerInspection.h"
#include "tools/zqutil/Delivery.h"
#include "tools/zqutil/Files.h"
#include "tools/zqutil/Progress.h"
#include "utils/crypto/Crypto.h"

namespace zqutil {

namespace {

namespace Crypto = ZQ::RVL::Utils::Crypto;

struct CryptOptions {
  std::string in;
  std::string out;
  bool light = false;
  bool force = false;
  std::string chunk = "65536";
};

constexpr std::uint64_t kLargestPlainSize = 0x7fffffffu;

// Fails the command with what went wrong with a stream, when it was not the
// content: a failed write, then a failed read.
void FailOnStreamError(const Input& input, const Output& output) {
  if (output.Failed()) output.FailWriting();
  if (input.Error() != 0) Fail("cannot read " + input.Name() + ": " + std::strerror(input.Error()));
}

void Encrypt(const CryptOptions& options) {
  Input input(options.in);
  // Before the input is copied: a bad OUT fails before a long read.
  Output output(options.out, input.OutputModeLimit(), &input.Info());
  output.RefuseBinaryToTerminal("a container", options.force);
  if (!input.Spool(kLargestPlainSize)) {
    Fail("cannot encrypt " + input.Name() + ": a container holds at most 2 GiB - 1 bytes");
  }
  Progress progress(*input.Size());
  ProgressStream counted(input.Stream(), progress);
  if (!Crypto::StreamEncrypt(counted.Stream(), static_cast<int>(*input.Size()), output.Stream(),
                             options.light)) {
    FailOnStreamError(input, output);
    Fail("cannot encrypt " + input.Name() + " into " + output.Name() +
         ": it ended early (did it shrink while it was read?)");
  }
  output.Commit();
}

// Names what went wrong with a decryption, reading the input again when it is
// a file.
[[noreturn]] void FailDecrypt(const Input& input, const Output& output, bool light) {
  FailOnStreamError(input, output);
  if (!input.IsRegularFile()) {
    Fail(input.Name() + " is not a readable container in this form, or is damaged");
  }
  Fail(ExplainFailure(input.Name(), light));
}

// The one reading of a container, for decrypt, chunks and info alike: a
// file must end where its container ends, judged before a byte is written
// (the light form has no check of its own, and a full container read as
// light would "succeed" as noise).
void CheckLength(const Input& input, bool light) {
  if (!input.IsRegularFile()) return;
  if (const auto reason = LengthMismatch(input.Name(), light)) Fail(*reason);
}

// The same for a stream, once its container is read: nothing may follow.
// Counts at most 1 MiB of what follows (a stream may never end).
void CheckNothingFollows(std::istream& in, const std::string& name) {
  if (in.peek() == std::char_traits<char>::eof()) return;
  constexpr std::uint64_t kCounted = 1u << 20;
  std::uint64_t more = 0;
  char piece[16384];
  while (more <= kCounted && (in.read(piece, sizeof piece) || in.gcount() > 0)) {
    more += static_cast<std::uint64_t>(in.gcount());
  }
  Fail(name + ": " + (more > kCounted ? "more than 1 MiB" : std::to_string(more) + " bytes") +
       " follow the container (another container, other data, or a full-form container read "
       "with --light)");
}

void Decrypt(const CryptOptions& options) {
  Input input(options.in);
  CheckLength(input, options.light);
  Output output(options.out, input.OutputModeLimit(), &input.Info());
  Progress progress(input.Size().value_or(0));
  ProgressStream counted(input.Stream(), progress);
  HeaderTap header(counted.Stream());
  CountedOutput plain(output.Stream());
  if (!Crypto::StreamDecrypt(header.Stream(), plain.Stream(), options.light)) {
    FailDecrypt(input, output, options.light);
  }
  CheckDelivered(input.Name(), header.SizeField(), plain.Count());
  CheckNothingFollows(header.Stream(), input.Name());
  output.Commit();
}

// The largest chunk buffer made for an input whose length is not known (a
// pipe): the chunk length asked for, up to this, gives the same bytes.
constexpr std::uint64_t kLargestUnknownChunk = 16u << 20;

void Chunks(const CryptOptions& options) {
  const int unit = options.light ? 16 : 8;
  const std::int64_t asked = ParseDecimal("--chunk", options.chunk, 1, INT32_MAX);
  if (asked % unit != 0)
    UsageError("--chunk must be a positive multiple of " + std::to_string(unit));
  Input input(options.in);
  CheckLength(input, options.light);
  Output output(options.out, input.OutputModeLimit(), &input.Info());
  Progress progress(input.Size().value_or(0));
  ProgressStream counted(input.Stream(), progress);
  // The chunked reader reads on to its stream's end: that ends where the
  // container does, and what follows is looked at afterwards, as decrypt
  // does.
  HeaderTap container(counted.Stream(), options.light);
  std::istream& in = container.Stream();
  int size = 0;
  bool ok = Crypto::DecryptStreamInit(in, size, options.light);
  // A chunk is no longer than the container can fill (the header's payload,
  // and the input's length when known): a forged size or a huge --chunk must
  // not cost gigabytes. The bytes delivered are the same for any length.
  const std::uint64_t payload =
      size < 0 ? 0 : static_cast<std::uint64_t>(size) + static_cast<std::uint64_t>(unit);
  const std::uint64_t bound = std::min(
      payload, input.Size().value_or(kLargestUnknownChunk) + static_cast<std::uint64_t>(unit));
  const int chunk = static_cast<int>(std::min<std::uint64_t>(
      static_cast<std::uint64_t>(asked), std::max<std::uint64_t>(unit, bound / unit * unit)));
  std::vector<char> buffer(static_cast<std::size_t>(chunk));
  std::uint64_t delivered = 0;
  while (ok && !output.Failed()) {  // a failed write ends the reading
    int length = chunk;
    ok = Crypto::DecryptStreamChunk(in, buffer.data(), length, options.light);
    if (ok) {
      output.Stream().write(buffer.data(), length);
      delivered += static_cast<std::uint64_t>(length);
    }
    if (in.eof()) break;
  }
  Crypto::DecryptStreamDeinit();
  if (!ok || output.Failed()) FailDecrypt(input, output, options.light);
  CheckDelivered(input.Name(), size, delivered);
  CheckNothingFollows(counted.Stream(), input.Name());
  output.Commit();
}

void Info(const CryptOptions& options) {
  // Fails with the reason when it cannot be read or is no regular file (a
  // FIFO is refused, not waited on).
  const Input exists(options.in, /*regularOnly=*/true);
  if (!exists.IsRegularFile()) {
    UsageError("info needs a regular file, not " +
               (options.in == "-" ? std::string("stdin") : "a stream") +
               ": it compares the header with the file's size");
  }
  const ContainerFacts facts = InspectContainer(options.in);
  std::printf("file:         %s (%llu bytes)\n", Shown(options.in).c_str(),
              static_cast<unsigned long long>(facts.actualLength));
  if (!facts.hasMagic) Fail(options.in + " is not a container (no ZQCRYPTO header)");
  std::printf("magic:        ZQCRYPTO\n");
  if (!facts.plainSize) Fail(options.in + " is damaged: its header is cut short");
  std::printf("plain size:   %d bytes\n", *facts.plainSize);
  if (!options.light) std::printf("IV:           %s\n", facts.ivHex.value_or("(missing)").c_str());
  const std::int64_t expected = options.light ? facts.lightLength : facts.fullLength;
  if (expected < 0) {  // a negative size: no length is right
    std::printf("length:       none (the size is negative), %llu actual\n",
                static_cast<unsigned long long>(facts.actualLength));
  } else {
    std::printf("length:       %lld bytes expected (%s form), %llu actual\n",
                static_cast<long long>(expected), options.light ? "light" : "full",
                static_cast<unsigned long long>(facts.actualLength));
  }
  const char* verdict = facts.readsAsFull && facts.readsAsLight ? "the full or the light form"
                        : facts.readsAsFull                     ? "the full form"
                        : facts.readsAsLight                    ? "the light form"
                                                                : "neither form (damaged)";
  std::printf("reads as:     %s\n", verdict);
  const bool readable = options.light ? facts.readsAsLight : facts.readsAsFull;
  if (!readable) {
    if (const auto reason = LengthMismatch(options.in, options.light)) Fail(*reason);
    Fail(options.in + " does not read as the " + (options.light ? "light" : "full") +
         " form: " + verdict);
  }
}

CLI::App* AddFileCommand(CLI::App& parent, const char* name, const char* help,
                         const std::shared_ptr<CryptOptions>& options, bool hasOutput) {
  CLI::App* command = parent.add_subcommand(name, help);
  command->add_flag("--light", options->light, "The light form (XOR scramble), not Blowfish");
  // info compares the header with the file's size: a stream has none.
  command->add_option("IN", options->in, hasOutput ? "Input file, - for stdin" : "Container file")
      ->required()
      ->type_name("FILE");
  if (hasOutput) {
    command->add_option("OUT", options->out, "Output file, - for stdout")
        ->required()
        ->type_name("FILE");
  }
  return command;
}

}  // namespace

void AddCryptCommands(CLI::App& app) {
  CLI::App* crypt = app.add_subcommand("crypt", "Encrypt, decrypt and inspect containers");
  crypt->require_subcommand(1);
  auto options = std::make_shared<CryptOptions>();
  CLI::App* encrypt =
      AddFileCommand(*crypt, "encrypt", "Encrypt IN into a container at OUT", options, true);
  encrypt->add_flag("--force", options->force, "Write the container to stdout on a terminal too");
  encrypt->callback([options] { Encrypt(*options); });
  AddFileCommand(*crypt, "decrypt", "Decrypt the container IN into OUT", options, true)
      ->callback([options] { Decrypt(*options); });
  CLI::App* chunks = AddFileCommand(
      *crypt, "chunks", "Decrypt the container IN into OUT through the chunked decryptor", options,
      true);
  chunks->add_option("--chunk", options->chunk, "Chunk length in bytes (default 65536)")
      ->type_name("BYTES");
  chunks->callback([options] { Chunks(*options); });
  AddFileCommand(*crypt, "info", "Show the header of the container IN and which form it reads as",
                 options, false)
      ->callback([options] { Info(*options); });
}

}  // namespace zqutil
