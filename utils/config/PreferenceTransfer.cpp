#include "utils/config/PreferenceTransfer.h"

#include <optional>
#include <utility>
#include <variant>

#include "utils/config/DomainName.h"
#include "utils/config/ModeScopes.h"
#include "utils/config/store/PlistCodec.h"
#include "utils/config/store/PreferenceStore.h"

namespace ZQ::RVL::Utils {

namespace {

// The dictionary of the value scope of a Config of `mode` with these names:
// kNoValueScope for a mode without one, else as the store reads it.
ConfigStatus CopyValueDictionary(std::int32_t mode, const std::string& applicationName,
                                 const std::string& companyName,
                                 Preferences::Dictionary& dictionary) {
  const std::optional<Preferences::Scope> scope = internal::ValueScope(mode);
  if (!scope) return ConfigStatus(ConfigError::kNoValueScope, 0, {});
  return Preferences::CopyDictionary(internal::ConfigDomain(companyName, applicationName), *scope,
                                     dictionary);
}

// Each kind of value, by the type of its top object (a marker's high
// nibble), and its name.
struct KindRow {
  unsigned type;
  PreferenceKind kind;
  const char* name;
};
constexpr KindRow kKinds[] = {
    {0x5, PreferenceKind::kText, "text"},
    {0x4, PreferenceKind::kBytes, "bytes"},
    {0x0, PreferenceKind::kBoolean, "boolean"},
    {0x1, PreferenceKind::kInteger, "integer"},
    {0x2, PreferenceKind::kReal, "real"},
    {0x3, PreferenceKind::kDate, "date"},
    {0x8, PreferenceKind::kUid, "UID"},
    {0xA, PreferenceKind::kArray, "array"},
    {0xD, PreferenceKind::kDictionary, "dictionary"},
};

// The kind of another program's value of top object type `type`.
PreferenceKind KindOfType(unsigned type) {
  for (const KindRow& row : kKinds) {
    if (row.type == type) return row.kind;
  }
  return PreferenceKind::kDictionary;
}

}  // namespace

bool ExportPreferences(std::int32_t mode, const std::string& applicationName,
                       const std::string& companyName, PreferenceFormat format, std::string& file) {
  ConfigStatus status;
  return ExportPreferences(mode, applicationName, companyName, format, file, status);
}

bool ExportPreferences(std::int32_t mode, const std::string& applicationName,
                       const std::string& companyName, PreferenceFormat format, std::string& file,
                       ConfigStatus& status) {
  Preferences::Dictionary dictionary;
  status = CopyValueDictionary(mode, applicationName, companyName, dictionary);
  if (!status.Ok()) return false;
  const bool xml = format == PreferenceFormat::kXml;
  Preferences::PlistRefusal why;
  if (!Preferences::EncodeDictionary(
          dictionary, file,
          xml ? Preferences::PlistFormat::kXml : Preferences::PlistFormat::kBinary, &why)) {
    status = ConfigStatus(why.overLimits ? ConfigError::kOverLimits : ConfigError::kBadArgument, 0,
                          {}, why.Text());
    return false;
  }
  return true;
}

std::string JsonString(std::string_view text) {
  std::string out;
  Preferences::AppendJsonString(text, out);
  return out;
}

std::string JsonValue(const PreferenceValue& value) {
  switch (value.kind) {
    case PreferenceKind::kText:
      return JsonString(value.value);
    case PreferenceKind::kBytes: {
      std::string out;
      Preferences::AppendJsonHex(value.value, out);
      return out;
    }
    default:
      return value.value;
  }
}

const char* PreferenceKindName(PreferenceKind kind) {
  for (const KindRow& row : kKinds) {
    if (row.kind == kind) return row.name;
  }
  return "dictionary";
}

bool ListPreferenceKeys(std::int32_t mode, const std::string& applicationName,
                        const std::string& companyName, std::vector<std::string>& keys,
                        ConfigStatus& status) {
  keys.clear();
  status = Preferences::CopyKeyList(internal::ConfigDomain(companyName, applicationName),
                                    internal::KeysScope(mode), keys);
  if (!status.Ok()) keys.clear();
  return status.Ok();
}

bool ListPreferenceValues(std::int32_t mode, const std::string& applicationName,
                          const std::string& companyName, std::vector<PreferenceValue>& values,
                          ConfigStatus& status) {
  values.clear();
  Preferences::Dictionary dictionary;
  status = CopyValueDictionary(mode, applicationName, companyName, dictionary);
  if (!status.Ok()) return false;
  values.reserve(dictionary.size());
  for (auto& [key, stored] : dictionary) {
    PreferenceValue& value = values.emplace_back();
    value.key = key;
    if (auto* text = std::get_if<Preferences::TextValue>(&stored)) {
      value.value = std::move(text->text);
      continue;
    }
    if (auto* bytes = std::get_if<Preferences::BytesValue>(&stored)) {
      value.kind = PreferenceKind::kBytes;
      value.value = std::move(bytes->bytes);
      continue;
    }
    const auto& foreign = std::get<Preferences::ForeignValue>(stored);
    value.kind = KindOfType(Preferences::TypeOf(foreign));
    value.value = Preferences::JsonOf(foreign);
  }
  return true;
}

ImportResult ImportPreferences(std::int32_t mode, const std::string& applicationName,
                               const std::string& companyName, std::string_view file,
                               std::string& why) {
  ConfigStatus status;
  const ImportResult result = ImportPreferences(mode, applicationName, companyName, file, status);
  if (result != ImportResult::kImported)
    why = status.Detail().empty() ? status.Message() : status.Detail();
  return result;
}

ImportResult ImportPreferences(std::int32_t mode, const std::string& applicationName,
                               const std::string& companyName, std::string_view file,
                               ConfigStatus& status) {
  // The store decodes only what its own check accepts, so what is refused
  // here is exactly what it would keep aside as damaged.
  Preferences::Dictionary dictionary;
  Preferences::PlistRefusal why;
  if (!Preferences::DecodeDictionary(file, dictionary, &why)) {
    status = ConfigStatus(why.overLimits ? ConfigError::kOverLimits : ConfigError::kDamaged, 0, {},
                          why.Text());
    return ImportResult::kRefused;
  }
  const std::optional<Preferences::Scope> scope = internal::ValueScope(mode);
  if (!scope) {
    status = ConfigStatus(ConfigError::kNoValueScope, 0, {});
    return ImportResult::kNotWritten;
  }
  status = Preferences::ReplaceDictionary(internal::ConfigDomain(companyName, applicationName),
                                          dictionary, *scope);
  return status.Ok() ? ImportResult::kImported : ImportResult::kNotWritten;
}

}  // namespace ZQ::RVL::Utils
