// zqutil prefs read|write|delete|list|where|export|import --company C --app A
// [--mode N], zqutil prefs domains [--mode N]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tools/zqutil/Cli.h"
#include "tools/zqutil/Files.h"
#include "tools/zqutil/Hex.h"
#include "utils/config/Config.h"
#include "utils/config/PreferenceLocation.h"
#include "utils/config/PreferenceTransfer.h"
#include "utils/file/File.h"
#include "utils/file/FileCalls.h"

namespace zqutil {

namespace {

using ZQ::RVL::Utils::Config;

struct PrefsOptions {
  std::string company;
  std::string application;
  int mode = 1;  // the current user's own settings, as a settings tool works
  std::string key;
  std::optional<std::string> text;
  std::optional<std::string> textFile;
  std::optional<std::string> integer;
  std::optional<std::string> dataHex;
  std::optional<std::string> dataFile;
  bool values = false;
  bool json = false;
  bool force = false;
  std::string format = "xml";
  std::string file = "-";
};

Config MakeConfig(const PrefsOptions& o) {
  return Config(o.mode, o.application, o.company);
}

bool IsAscii(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) > 0x7f || c == '\0') return false;
  }
  return true;
}

ZQ::RVL::Utils::PreferenceFiles Locate(const PrefsOptions& o) {
  ZQ::RVL::Utils::PreferenceFiles files;
  ZQ::RVL::Utils::ConfigStatus status;
  if (!ZQ::RVL::Utils::LocatePreferenceFiles(o.mode, o.application, o.company, files, status)) {
    Fail(status.Message());
  }
  return files;
}

void CheckText(const std::string& what, const std::string& text) {
  if (!IsAscii(text)) UsageError(what + " must be 7-bit ASCII text");
  if (text.size() >= 512) {
    UsageError(what + " has 512 characters or more: it would be stored but could not be read");
  }
}

// The most content a settings file may hold, so the largest value: reading
// --data-file stops there (a device such as /dev/zero never ends).
constexpr std::size_t kLargestValue = ZQ::RVL::Utils::Config::kMaxContentBytes;

// Reads a value from `path` ("-": stdin): a regular file, a FIFO (waiting
// for its writer) or a character device, at most `limit` bytes (a device
// such as /dev/zero never ends); `tooLarge` says what is beyond it.
std::string ReadValueFile(const std::string& path, std::size_t limit, const std::string& tooLarge) {
  Input input(path);
  const std::string failed = "cannot read " + input.Name() + ": ";
  if (input.Size() && *input.Size() > limit) Fail(failed + tooLarge);
  std::string bytes;
  char piece[16384];
  for (std::istream& in = input.Stream(); in.read(piece, sizeof piece) || in.gcount() > 0;) {
    bytes.append(piece, static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > limit) Fail(failed + tooLarge);
  }
  if (input.Error() != 0) Fail(failed + std::strerror(input.Error()));
  return bytes;
}

// --string-file: the file's bytes, one final line end (LF or CRLF) dropped,
// so that `echo TEXT |` gives TEXT. Nothing left is refused: a source that
// failed (`echo "$UNSET" |`) must not blank a secret (--string "" stores an
// empty text).
std::string TextToWrite(const std::string& path) {
  std::string text =
      ReadValueFile(path, 4096, "it holds more than 4096 bytes, and a text at most 511 characters");
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
  }
  if (text.empty()) {
    UsageError((path == "-" ? std::string("stdin") : path) +
               " holds no text: --string \"\" stores an empty text");
  }
  return text;
}

std::vector<unsigned char> DataToWrite(const PrefsOptions& o) {
  std::vector<unsigned char> bytes;
  if (o.dataHex) {
    if (!ParseHex(*o.dataHex, bytes)) UsageError("--data-hex takes pairs of hex digits");
  } else {
    const std::string read =
        ReadValueFile(*o.dataFile, kLargestValue,
                      "it holds more than 16 MiB, more than a settings file may hold");
    bytes.assign(read.begin(), read.end());
  }
  if (bytes.empty()) UsageError("empty data is not stored (an earlier value would stay)");
  return bytes;
}

// True when a value of any kind is still under the key in the value
// dictionary, which Delete should have removed it from.
bool StillStored(const PrefsOptions& o) {
  std::vector<ZQ::RVL::Utils::PreferenceValue> values;
  ZQ::RVL::Utils::ConfigStatus status;
  if (!ZQ::RVL::Utils::ListPreferenceValues(o.mode, o.application, o.company, values, status)) {
    Fail("deleted " + Quoted(o.key) +
         ", but cannot tell whether a value is still there: " + status.Message());
  }
  return std::any_of(values.begin(), values.end(),
                     [&](const auto& value) { return value.key == o.key; });
}

void Write(const PrefsOptions& o) {
  CheckText("the key", o.key);
  const Config config = MakeConfig(o);
  ZQ::RVL::Utils::ConfigStatus status;
  bool stored = false;
  if (o.text || o.textFile) {
    const std::string text = o.text ? *o.text : TextToWrite(*o.textFile);
    CheckText("the value", text);
    stored = config.SetString(o.key, text, status);
  } else if (o.integer) {
    stored = config.SetValue(
        o.key, static_cast<std::int32_t>(ParseDecimal("--int", *o.integer, INT32_MIN, INT32_MAX)),
        status);
  } else {
    const std::vector<unsigned char> bytes = DataToWrite(o);
    stored = config.SetData(o.key, bytes.data(), static_cast<std::uint32_t>(bytes.size()), status);
  }
  if (!stored) Fail("cannot write \"" + o.key + "\": " + status.Message());
}

// The domain and mode of the options, for messages.
std::string DomainOf(const PrefsOptions& o) {
  return ZQ::RVL::Utils::PreferenceDomainName(o.application, o.company) + " (mode " +
         std::to_string(o.mode) + ")";
}

// The entries of the value dictionary, of every kind; fails the command with
// the store's reason.
std::vector<ZQ::RVL::Utils::PreferenceValue> Values(const PrefsOptions& o) {
  std::vector<ZQ::RVL::Utils::PreferenceValue> values;
  ZQ::RVL::Utils::ConfigStatus status;
  if (!ZQ::RVL::Utils::ListPreferenceValues(o.mode, o.application, o.company, values, status)) {
    Fail("cannot read " + DomainOf(o) + ": " + status.Message());
  }
  return values;
}

// "KIND VALUE": a text as a JSON string, bytes as hex digits, other kinds in
// JSON.
std::string ShownValue(const ZQ::RVL::Utils::PreferenceValue& value) {
  std::string shown = ZQ::RVL::Utils::JsonValue(value);
  if (value.kind == ZQ::RVL::Utils::PreferenceKind::kBytes) {
    shown = shown.substr(1, shown.size() - 2);
  }
  return std::string(ZQ::RVL::Utils::PreferenceKindName(value.kind)) + " " + shown;
}

// {"kind": KIND, "value": VALUE} in JSON.
std::string JsonEntry(const ZQ::RVL::Utils::PreferenceValue& value) {
  return std::string("{\"kind\": \"") + ZQ::RVL::Utils::PreferenceKindName(value.kind) +
         "\", \"value\": " + ZQ::RVL::Utils::JsonValue(value) + "}";
}

void Read(const PrefsOptions& o) {
  for (const auto& value : Values(o)) {
    if (value.key != o.key) continue;
    std::printf("%s\n", (o.json ? JsonEntry(value) : ShownValue(value)).c_str());
    return;
  }
  Fail("no value under " + Quoted(o.key) + " in " + DomainOf(o));
}

// Deletes in the dictionary of Delete and GetKeys. In mode 0 that is not the
// one the values live in, so a value can still be readable afterwards: that
// is reported as a failure, naming both files, never as a success.
void Delete(const PrefsOptions& o) {
  if (!IsAscii(o.key)) {
    Fail("cannot delete " + Quoted(o.key) + ": the library addresses ASCII keys only (" +
         "import a dictionary without it to remove it)");
  }
  const Config config = MakeConfig(o);
  ZQ::RVL::Utils::ConfigStatus status;
  if (!config.Delete(o.key, status))
    Fail("cannot delete " + Quoted(o.key) + ": " + status.Message());
  if (StillStored(o)) {
    const ZQ::RVL::Utils::PreferenceFiles files = Locate(o);
    Fail(Quoted(o.key) + " is still readable: mode " + std::to_string(o.mode) +
         " deletes in the all-users, any-machine dictionary (" + files.keys +
         "), while its values live in the all-users, this-machine one (" + files.values +
         "), which delete does not change");
  }
}

// The keys of the Delete/GetKeys dictionary; with --values, the entries of
// the value dictionary (the same one but in mode 0), every kind shown.
void List(const PrefsOptions& o) {
  if (o.values) {
    const auto values = Values(o);
    std::string out = o.json ? "{" : "";
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (o.json) {
        out += (i == 0 ? "" : ", ") + ZQ::RVL::Utils::JsonString(values[i].key) + ": " +
               JsonEntry(values[i]);
      } else {
        out += Shown(values[i].key) + " = " + ShownValue(values[i]) + "\n";
      }
    }
    std::printf("%s%s", out.c_str(), o.json ? "}\n" : "");
    return;
  }
  std::vector<std::string> keys;
  ZQ::RVL::Utils::ConfigStatus status;
  if (!ZQ::RVL::Utils::ListPreferenceKeys(o.mode, o.application, o.company, keys, status)) {
    Fail("cannot list " + DomainOf(o) + ": " + status.Message());
  }
  std::string out = o.json ? "[" : "";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    out +=
        o.json ? (i == 0 ? "" : ", ") + ZQ::RVL::Utils::JsonString(keys[i]) : Shown(keys[i]) + "\n";
  }
  std::printf("%s%s", out.c_str(), o.json ? "]\n" : "");
}

void Where(const PrefsOptions& o) {
  std::printf("domain:        %s\n",
              Shown(ZQ::RVL::Utils::PreferenceDomainName(o.application, o.company)).c_str());
  const ZQ::RVL::Utils::PreferenceFiles files = Locate(o);
  std::printf("values:        %s\n",
              files.values.empty() ? "(none in this mode)" : Shown(files.values).c_str());
  std::printf("keys, delete:  %s\n", Shown(files.keys).c_str());
}

void Domains(const PrefsOptions& o) {
  std::vector<std::string> domains;
  ZQ::RVL::Utils::ConfigStatus status;
  if (!ZQ::RVL::Utils::ListPreferenceDomains(o.mode, domains, status)) {
    Fail("cannot list the domains of mode " + std::to_string(o.mode) + ": " + status.Message());
  }
  for (const std::string& domain : domains) std::printf("%s\n", Shown(domain).c_str());
}

// What export and import say when the mode has no value dictionary.
void CheckValueScope(const PrefsOptions& o) {
  if (Locate(o).values.empty()) {
    UsageError("mode " + std::to_string(o.mode) + " has no value dictionary to export or import");
  }
}

// An export is no more readable than the store file it copies: its
// permission bits and the owner's write bit, or when it cannot be read, the
// store's own modes (0600 for a user's settings, 0644 for all users').
mode_t ExportModeLimit(const PrefsOptions& o) {
  ZQ::RVL::Utils::internal::OpenedFile store;
  if (ZQ::RVL::Utils::internal::OpenForReading(Locate(o).values, {}, store)) {
    return (store.info.st_mode & 0777) | S_IWUSR;
  }
  return o.mode == 1 ? 0600 : 0644;
}

void Export(const PrefsOptions& o) {
  CheckValueScope(o);
  std::string file;
  const auto format = o.format == "binary" ? ZQ::RVL::Utils::PreferenceFormat::kBinary
                                           : ZQ::RVL::Utils::PreferenceFormat::kXml;
  ZQ::RVL::Utils::ConfigStatus status;
  if (!ZQ::RVL::Utils::ExportPreferences(o.mode, o.application, o.company, format, file, status)) {
    // A value XML cannot carry (kBadArgument), or XML beyond the file limit.
    const bool xml = format == ZQ::RVL::Utils::PreferenceFormat::kXml &&
                     (status.Error() == ZQ::RVL::Utils::ConfigError::kBadArgument ||
                      status.Error() == ZQ::RVL::Utils::ConfigError::kOverLimits);
    Fail("cannot export " + DomainOf(o) + ": " + status.Message() +
         (xml ? "; --format binary keeps every value" : ""));
  }
  Output output(o.file, ExportModeLimit(o));
  if (o.format == "binary") output.RefuseBinaryToTerminal("a binary property list", o.force);
  output.Stream().write(file.data(), static_cast<std::streamsize>(file.size()));
  output.Commit();
}

// The largest settings file; reading stops just past it (a device such as
// /dev/zero never ends).
constexpr std::size_t kLargestImport = ZQ::RVL::Utils::Config::kMaxFileBytes;

void Import(const PrefsOptions& o) {
  CheckValueScope(o);
  Input input(o.file);
  std::string file;
  std::vector<char> piece(64 << 10);
  while (file.size() <= kLargestImport) {
    input.Stream().read(piece.data(), static_cast<std::streamsize>(piece.size()));
    file.append(piece.data(), static_cast<std::size_t>(input.Stream().gcount()));
    if (!input.Stream()) break;
  }
  if (input.Error() != 0) {
    Fail("cannot read " + input.Name() + ": " + std::strerror(input.Error()));
  }
  if (file.size() > kLargestImport) {
    Fail("refused " + input.Name() + ": it holds more than " + std::to_string(kLargestImport) +
         " bytes, the most a settings file may hold; nothing changed");
  }
  ZQ::RVL::Utils::ConfigStatus status;
  switch (ZQ::RVL::Utils::ImportPreferences(o.mode, o.application, o.company, file, status)) {
    case ZQ::RVL::Utils::ImportResult::kImported:
      return;
    case ZQ::RVL::Utils::ImportResult::kRefused:
      Fail("refused " + input.Name() + ": " + status.Detail() + "; nothing changed");
    case ZQ::RVL::Utils::ImportResult::kNotWritten:
      break;
  }
  Fail("cannot import " + input.Name() + ": " + status.Message() + "; nothing changed");
}

// --mode: "0" or "1" as written, nothing else (no sign, base or blank).
void AddModeOption(CLI::App& command, int& mode) {
  command
      .add_option("--mode", mode,
                  "1: current user, any machine (default); 0: all users, this machine")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            if (text == "0" || text == "1") return {};
            return "takes 0 (all users, this machine) or 1 (current user), not \"" + text + "\"";
          },
          ""))
      ->type_name("0|1");
}

CLI::App* AddPrefsCommand(CLI::App& prefs, const char* name, const char* help,
                          const std::shared_ptr<PrefsOptions>& o, bool withKey) {
  CLI::App* command = prefs.add_subcommand(name, help);
  command->add_option("--company", o->company, "Company name")->required()->type_name("COMPANY");
  command->add_option("--app", o->application, "Application name")->required()->type_name("APP");
  AddModeOption(*command, o->mode);
  if (withKey)
    command->add_option("KEY", o->key, "The setting's key")->required()->type_name("KEY");
  return command;
}

}  // namespace

void AddPrefsCommands(CLI::App& app) {
  CLI::App* prefs = app.add_subcommand("prefs", "Read and write an application's settings");
  prefs->require_subcommand(1);
  auto o = std::make_shared<PrefsOptions>();

  CLI::App* write = AddPrefsCommand(*prefs, "write", "Store a value under KEY", o, true);
  auto* group = write->add_option_group("value", "The value to store");
  group->add_option("--string", o->text, "A text (every local user can read a command line)")
      ->type_name("TEXT");
  group
      ->add_option("--string-file", o->textFile,
                   "A text from FILE, - for stdin, one final line feed dropped: for secrets")
      ->type_name("FILE");
  group->add_option("--int", o->integer, "A 32-bit integer (kept as its decimal text)")
      ->type_name("N");
  group->add_option("--data-hex", o->dataHex, "Bytes as hex digits")->type_name("HEX");
  group->add_option("--data-file", o->dataFile, "Bytes from a file, - for stdin")
      ->type_name("FILE");
  group->require_option(1);
  write->callback([o] { Write(*o); });

  CLI::App* read = AddPrefsCommand(*prefs, "read", "Print the kind and value under KEY", o, true);
  read->add_flag("--json", o->json, "As JSON: {\"kind\": ..., \"value\": ...}");
  read->callback([o] { Read(*o); });
  AddPrefsCommand(*prefs, "delete", "Remove KEY", o, true)->callback([o] { Delete(*o); });
  CLI::App* list = AddPrefsCommand(*prefs, "list", "Print the keys", o, false);
  list->add_flag("--values", o->values, "With their kinds and values");
  list->add_flag("--json", o->json, "As JSON: an array of keys, or an object of values");
  list->callback([o] { List(*o); });
  CLI::App* domains =
      prefs->add_subcommand("domains", "Print the domains that have settings in a mode's scope");
  AddModeOption(*domains, o->mode);
  domains->callback([o] { Domains(*o); });
  CLI::App* exporter =
      AddPrefsCommand(*prefs, "export",
                      "Write the settings as a property list (every value, of any kind)", o, false);
  exporter->add_option("--format", o->format, "xml (default) or binary")
      ->check(CLI::IsMember({"xml", "binary"}).description(""))
      ->type_name("xml|binary");
  exporter->add_option("FILE", o->file, "Output file, - for stdout (default)")->type_name("FILE");
  exporter->add_flag("--force", o->force, "Write a binary list to stdout on a terminal too");
  exporter->callback([o] { Export(*o); });
  CLI::App* importer =
      AddPrefsCommand(*prefs, "import",
                      "Replace the settings with those of a binary or XML property list", o, false);
  importer->add_option("FILE", o->file, "Input file, - for stdin")->required()->type_name("FILE");
  importer->callback([o] { Import(*o); });
  AddPrefsCommand(*prefs, "where", "Print the domain and the files behind it", o, false)
      ->callback([o] { Where(*o); });
}

}  // namespace zqutil
