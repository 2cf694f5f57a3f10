#include "utils/config/Config.h"

#include <cstring>
#include <locale>
#include <optional>
#include <sstream>
#include <variant>

#include "utils/config/DomainName.h"
#include "utils/config/ModeScopes.h"
#include "utils/config/store/PreferenceStore.h"

namespace ZQ::RVL::Utils {

namespace {

namespace Prefs = Preferences;

// Texts coming back from the service must be shorter than this (the
// service's 512-byte buffer, with room for the terminating NUL).
constexpr std::size_t kTextBufferSize = 512;

// Returns `text` as it crosses the service: up to its first NUL, and only when
// every byte of that is 7-bit ASCII.
std::optional<std::string> ServiceText(const std::string& text) {
  std::string result = text.substr(0, text.find('\0'));
  for (char c : result) {
    if (static_cast<unsigned char>(c) > 0x7f) return std::nullopt;
  }
  return result;
}

// Returns true when a text read from the service fits the 512-byte buffer as
// ASCII; `text` is cut at its first NUL.
bool FitsTextBuffer(std::string& text) {
  const std::optional<std::string> converted = ServiceText(text);
  if (!converted || converted->size() >= kTextBufferSize) return false;
  text = *converted;
  return true;
}

// What is stored, for a kWrongKind status.
std::string Stored(const Prefs::StoredValue& value) {
  if (const auto* text = std::get_if<Prefs::TextValue>(&value)) {
    if (!ServiceText(text->text)) return "the value is a text that is not ASCII";
    return "the value is a text of " + std::to_string(kTextBufferSize) + " characters or more";
  }
  if (std::holds_alternative<Prefs::BytesValue>(value)) return "the value is bytes";
  return "the value is " + Prefs::KindOf(std::get<Prefs::ForeignValue>(value)) +
         ", which another program stored";
}

using internal::KeysScope;
using internal::ValueScope;

// The service texts of one operation: its domain and its key.
struct Names {
  std::string domain;
  std::string key;
};

std::optional<Names> MakeNames(const std::string& company, const std::string& application,
                               const std::string& key) {
  std::optional<std::string> domain = ServiceText(internal::ConfigDomain(company, application));
  std::optional<std::string> keyText = ServiceText(key);
  if (!domain || !keyText) return std::nullopt;
  return Names{std::move(*domain), std::move(*keyText)};
}

// Sets `status` to `error` (no errno, no file) and returns false.
bool Failed(ConfigStatus& status, ConfigError error) {
  status = ConfigStatus(error, 0, {});
  return false;
}

// Reads the decimal integer at the start of `text` into `out` with a string stream's own
// formatted extraction, in the classic locale so the host's locale (digit
// grouping) cannot change the result.
void ExtractInteger(const std::string& text, std::int32_t& out) {
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  in >> out;
}

// What a Config names: its mode and its two names.
struct Where {
  std::int32_t mode;
  const std::string& application;
  const std::string& company;
};

// Reads the value under `key` of the Config of `mode` with these names into
// `value`; false with `status` set when there is none or the read failed.
bool ReadValue(const Where& where, const std::string& key, std::optional<Prefs::StoredValue>& value,
               ConfigStatus& status) {
  const std::optional<Names> names = MakeNames(where.company, where.application, key);
  if (!names) return Failed(status, ConfigError::kBadArgument);
  const std::optional<Prefs::Scope> scope = ValueScope(where.mode);
  if (!scope) return Failed(status, ConfigError::kNoValueScope);
  status = Prefs::CopyValue(names->domain, names->key, *scope, value);
  if (status.Ok() && !value) status = ConfigStatus(ConfigError::kNotFound, 0, {});
  return status.Ok();
}

// Stores `value` under `key` for the Config of `mode` with these names.
bool WriteValue(const Where& where, const std::string& key, const Prefs::StoredValue& value,
                ConfigStatus& status) {
  const std::optional<Names> names = MakeNames(where.company, where.application, key);
  if (!names) return Failed(status, ConfigError::kBadArgument);
  const std::optional<Prefs::Scope> scope = ValueScope(where.mode);
  if (!scope) return Failed(status, ConfigError::kNoValueScope);
  status = Prefs::SetValue(names->domain, names->key, value, *scope);
  return status.Ok();
}

}  // namespace

Config::Config(const std::string& applicationName_, const std::string& companyName_)
    : Config(0, applicationName_, companyName_) {}

Config::Config(std::int32_t mode_, const std::string& applicationName_,
               const std::string& companyName_)
    : mode(mode_), applicationName(applicationName_), companyName(companyName_) {}

bool Config::GetString(const std::string& key, std::string& value) const {
  ConfigStatus status;
  return GetString(key, value, status);
}

bool Config::GetString(const std::string& key, std::string& value, ConfigStatus& status) const {
  std::optional<Prefs::StoredValue> stored;
  if (!ReadValue({mode, applicationName, companyName}, key, stored, status)) return false;
  auto* text = std::get_if<Prefs::TextValue>(&*stored);
  if (text == nullptr || !FitsTextBuffer(text->text)) {
    status = ConfigStatus(ConfigError::kWrongKind, 0, {}, Stored(*stored));
    return false;
  }
  value = std::move(text->text);
  return true;
}

bool Config::GetString32(const std::string& key, std::string& value) const {
  return GetString(key, value);
}

bool Config::GetString64(const std::string& key, std::string& value) const {
  return GetString(key, value);
}

bool Config::GetValue(const std::string& key, std::int32_t& value) const {
  ConfigStatus status;
  return GetValue(key, value, status);
}

bool Config::GetValue(const std::string& key, std::int32_t& value, ConfigStatus& status) const {
  std::string text;
  if (!GetString(key, text, status)) return false;
  ExtractInteger(text, value);
  return true;
}

bool Config::GetData(const std::string& key, unsigned char*& data, std::uint32_t& length) const {
  ConfigStatus status;
  return GetData(key, data, length, status);
}

bool Config::GetData(const std::string& key, unsigned char*& data, std::uint32_t& length,
                     ConfigStatus& status) const {
  std::optional<Prefs::StoredValue> stored;
  if (!ReadValue({mode, applicationName, companyName}, key, stored, status)) return false;
  const auto* bytes = std::get_if<Prefs::BytesValue>(&*stored);
  if (bytes == nullptr || bytes->bytes.empty() || bytes->bytes.size() > UINT32_MAX) {
    const bool empty = bytes != nullptr && bytes->bytes.empty();
    status = ConfigStatus(ConfigError::kWrongKind, 0, {},
                          empty ? "empty bytes, which GetData does not hand out" : Stored(*stored));
    return false;
  }
  // Handed to the caller, who frees it with delete[].
  data = new unsigned char[bytes->bytes.size()];
  std::memcpy(data, bytes->bytes.data(), bytes->bytes.size());
  length = static_cast<std::uint32_t>(bytes->bytes.size());
  return true;
}

void Config::SetString(const std::string& key, const std::string& value) const {
  ConfigStatus status;
  SetString(key, value, status);
}

bool Config::SetString(const std::string& key, const std::string& value,
                       ConfigStatus& status) const {
  const std::optional<std::string> text = ServiceText(value);
  if (!text) return Failed(status, ConfigError::kBadArgument);
  return WriteValue({mode, applicationName, companyName}, key, Prefs::TextValue{*text}, status);
}

void Config::SetValue(const std::string& key, std::int32_t value) const {
  SetString(key, std::to_string(value));
}

bool Config::SetValue(const std::string& key, std::int32_t value, ConfigStatus& status) const {
  return SetString(key, std::to_string(value), status);
}

void Config::SetData(const std::string& key, const unsigned char* data,
                     std::uint32_t length) const {
  ConfigStatus status;
  SetData(key, data, length, status);
}

bool Config::SetData(const std::string& key, const unsigned char* data, std::uint32_t length,
                     ConfigStatus& status) const {
  if (data == nullptr || length == 0) return Failed(status, ConfigError::kBadArgument);
  if (length > Prefs::kMaxContentBytes) {
    status = ConfigStatus(ConfigError::kOverLimits, 0, {},
                          "the value alone holds more than " +
                              std::to_string(Prefs::kMaxContentBytes) + " bytes of content");
    return false;
  }
  return WriteValue({mode, applicationName, companyName}, key,
                    Prefs::BytesValue{std::string(reinterpret_cast<const char*>(data), length)},
                    status);
}

void Config::Delete(const std::string& key) const {
  ConfigStatus status;
  Delete(key, status);
}

bool Config::Delete(const std::string& key, ConfigStatus& status) const {
  const std::optional<Names> names = MakeNames(companyName, applicationName, key);
  if (!names) return Failed(status, ConfigError::kBadArgument);
  status = Prefs::RemoveValue(names->domain, names->key, KeysScope(mode));
  return status.Ok();
}

std::vector<std::string> Config::GetKeys() const {
  std::vector<std::string> keys;
  ConfigStatus status;
  GetKeys(keys, status);
  return keys;
}

bool Config::GetKeys(std::vector<std::string>& keys, ConfigStatus& status) const {
  keys.clear();
  const std::optional<std::string> domain =
      ServiceText(internal::ConfigDomain(companyName, applicationName));
  if (!domain) return Failed(status, ConfigError::kBadArgument);
  std::vector<std::string> all;
  status = Prefs::CopyKeyList(*domain, KeysScope(mode), all);
  for (std::string& key : all) {
    if (FitsTextBuffer(key)) keys.push_back(std::move(key));
  }
  return status.Ok();
}

DomainState Config::GetState(ConfigStatus& status) const {
  const std::optional<std::string> domain =
      ServiceText(internal::ConfigDomain(companyName, applicationName));
  if (!domain) {
    Failed(status, ConfigError::kBadArgument);
    return DomainState::kUnreadable;
  }
  status = Prefs::ExamineFile(*domain, ValueScope(mode).value_or(KeysScope(mode)));
  switch (status.Error()) {
    case ConfigError::kNone:
      return DomainState::kPresent;
    case ConfigError::kNotFound:
      return DomainState::kAbsent;
    case ConfigError::kDamaged:
      return DomainState::kDamaged;
    case ConfigError::kOverLimits:
      return DomainState::kOverLimits;
    default:
      return DomainState::kUnreadable;
  }
}

}  // namespace ZQ::RVL::Utils
