#include "utils/config/PreferenceTransfer.h"

#include <optional>

#include "utils/config/DomainName.h"
#include "utils/config/ModeScopes.h"
#include "utils/config/store/PlistCheck.h"
#include "utils/config/store/PlistCodec.h"
#include "utils/config/store/PreferenceStore.h"

namespace ZQ::RVL::Utils {

bool ExportPreferences(std::int32_t mode, const std::string& applicationName,
                       const std::string& companyName, PreferenceFormat format, std::string& file) {
  const std::optional<Preferences::Scope> scope = internal::ValueScope(mode);
  if (!scope) return false;
  const std::optional<Preferences::Dictionary> dictionary =
      Preferences::CopyDictionary(internal::ConfigDomain(companyName, applicationName), *scope);
  return dictionary && Preferences::EncodeDictionary(*dictionary, file,
                                                     format == PreferenceFormat::kXml
                                                         ? Preferences::PlistFormat::kXml
                                                         : Preferences::PlistFormat::kBinary);
}

ImportResult ImportPreferences(std::int32_t mode, const std::string& applicationName,
                               const std::string& companyName, std::string_view file,
                               std::string& why) {
  // The store decodes only what its own check accepts, so what is refused
  // here is exactly what it would keep aside as damaged.
  Preferences::Dictionary dictionary;
  if (!Preferences::DecodeDictionary(file, dictionary)) {
    why = Preferences::DescribeRefusal(file);
    if (why.empty()) why = "libplist could not read it";
    return ImportResult::kRefused;
  }
  const std::optional<Preferences::Scope> scope = internal::ValueScope(mode);
  if (!scope) return ImportResult::kNotWritten;
  const bool written = Preferences::ReplaceDictionary(
      internal::ConfigDomain(companyName, applicationName), dictionary, *scope);
  return written ? ImportResult::kImported : ImportResult::kNotWritten;
}

}  // namespace ZQ::RVL::Utils
