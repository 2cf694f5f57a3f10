#include "utils/config/PreferenceTransfer.h"

#include <optional>

#include "utils/config/DomainName.h"
#include "utils/config/ModeScopes.h"
#include "utils/config/store/PlistCodec.h"
#include "utils/config/store/PreferenceStore.h"

namespace ZQ::RVL::Utils {

bool ExportPreferences(std::int32_t mode, const std::string& applicationName,
                       const std::string& companyName, PreferenceFormat format, std::string& file) {
  ConfigStatus status;
  return ExportPreferences(mode, applicationName, companyName, format, file, status);
}

bool ExportPreferences(std::int32_t mode, const std::string& applicationName,
                       const std::string& companyName, PreferenceFormat format, std::string& file,
                       ConfigStatus& status) {
  const std::optional<Preferences::Scope> scope = internal::ValueScope(mode);
  if (!scope) {
    status = ConfigStatus(ConfigError::kNoValueScope, 0, {});
    return false;
  }
  Preferences::Dictionary dictionary;
  status = Preferences::CopyDictionary(internal::ConfigDomain(companyName, applicationName), *scope,
                                       dictionary);
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
