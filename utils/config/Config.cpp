#include "utils/config/Config.h"

#include <cstring>
#include <locale>
#include <optional>
#include <sstream>

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

// Reads the decimal integer at the start of `text` into `out` with a string stream's own
// formatted extraction, in the classic locale so the host's locale (digit
// grouping) cannot change the result.
void ExtractInteger(const std::string& text, std::int32_t& out) {
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  in >> out;
}

}  // namespace

Config::Config(const std::string& applicationName_, const std::string& companyName_)
    : Config(0, applicationName_, companyName_) {}

Config::Config(std::int32_t mode_, const std::string& applicationName_,
               const std::string& companyName_)
    : mode(mode_), applicationName(applicationName_), companyName(companyName_) {}

bool Config::GetString(const std::string& key, std::string& value) const {
  const std::optional<Names> names = MakeNames(companyName, applicationName, key);
  const std::optional<Prefs::Scope> scope = ValueScope(mode);
  if (!names || !scope) return false;
  std::optional<Prefs::StoredValue> stored = Prefs::CopyValue(names->domain, names->key, *scope);
  if (!stored || stored->kind != Prefs::ValueKind::kText || !FitsTextBuffer(stored->bytes)) {
    return false;
  }
  value = std::move(stored->bytes);
  return true;
}

bool Config::GetString32(const std::string& key, std::string& value) const {
  return GetString(key, value);
}

bool Config::GetString64(const std::string& key, std::string& value) const {
  return GetString(key, value);
}

bool Config::GetValue(const std::string& key, std::int32_t& value) const {
  std::string text;
  if (!GetString(key, text)) return false;
  ExtractInteger(text, value);
  return true;
}

bool Config::GetData(const std::string& key, unsigned char*& data, std::uint32_t& length) const {
  const std::optional<Names> names = MakeNames(companyName, applicationName, key);
  const std::optional<Prefs::Scope> scope = ValueScope(mode);
  if (!names || !scope) return false;
  const std::optional<Prefs::StoredValue> stored =
      Prefs::CopyValue(names->domain, names->key, *scope);
  if (!stored || stored->kind != Prefs::ValueKind::kBytes || stored->bytes.empty() ||
      stored->bytes.size() > UINT32_MAX) {
    return false;
  }
  // Handed to the caller, who frees it with delete[].
  data = new unsigned char[stored->bytes.size()];
  std::memcpy(data, stored->bytes.data(), stored->bytes.size());
  length = static_cast<std::uint32_t>(stored->bytes.size());
  return true;
}

void Config::SetString(const std::string& key, const std::string& value) const {
  const std::optional<Names> names = MakeNames(companyName, applicationName, key);
  const std::optional<std::string> text = ServiceText(value);
  const std::optional<Prefs::Scope> scope = ValueScope(mode);
  if (!names || !text || !scope) return;
  Prefs::SetValue(names->domain, names->key, {Prefs::ValueKind::kText, *text, {}}, *scope);
}

void Config::SetValue(const std::string& key, std::int32_t value) const {
  SetString(key, std::to_string(value));
}

void Config::SetData(const std::string& key, const unsigned char* data,
                     std::uint32_t length) const {
  if (data == nullptr || length == 0 || length > Prefs::kMaxFileSize) return;
  const std::optional<Names> names = MakeNames(companyName, applicationName, key);
  const std::optional<Prefs::Scope> scope = ValueScope(mode);
  if (!names || !scope) return;
  Prefs::StoredValue bytes{
      Prefs::ValueKind::kBytes, std::string(reinterpret_cast<const char*>(data), length), {}};
  Prefs::SetValue(names->domain, names->key, bytes, *scope);
}

void Config::Delete(const std::string& key) const {
  const std::optional<Names> names = MakeNames(companyName, applicationName, key);
  if (!names) return;
  Prefs::RemoveValue(names->domain, names->key, KeysScope(mode));
}

std::vector<std::string> Config::GetKeys() const {
  std::vector<std::string> result;
  const std::optional<std::string> domain =
      ServiceText(internal::ConfigDomain(companyName, applicationName));
  if (!domain) return result;
  std::optional<std::vector<std::string>> keys = Prefs::CopyKeyList(*domain, KeysScope(mode));
  if (!keys) return result;
  for (std::string& key : *keys) {
    if (FitsTextBuffer(key)) result.push_back(std::move(key));
  }
  return result;
}

}  // namespace ZQ::RVL::Utils
