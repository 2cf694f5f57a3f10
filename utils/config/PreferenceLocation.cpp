#include "utils/config/PreferenceLocation.h"

#include <optional>

#include "utils/config/DomainName.h"
#include "utils/config/ModeScopes.h"
#include "utils/config/store/PreferencePaths.h"
#include "utils/config/store/PreferenceStore.h"
#include "utils/runtime/CallGate.h"

namespace ZQ::RVL::Utils {

std::string PreferenceDomainName(const std::string& applicationName,
                                 const std::string& companyName) {
  return internal::ConfigDomain(companyName, applicationName);
}

bool LocatePreferenceFiles(std::int32_t mode, const std::string& applicationName,
                           const std::string& companyName, PreferenceFiles& files) {
  ConfigStatus status;
  return LocatePreferenceFiles(mode, applicationName, companyName, files, status);
}

bool LocatePreferenceFiles(std::int32_t mode, const std::string& applicationName,
                           const std::string& companyName, PreferenceFiles& files,
                           ConfigStatus& status) {
  // The machine's id is worked out at the first by-host location: a fork
  // meanwhile must wait, as for the store's own calls.
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);
  const std::string domain = PreferenceDomainName(applicationName, companyName);
  Preferences::FileLocation keys;
  status = Preferences::LocateFile(domain, internal::KeysScope(mode), keys);
  if (!status.Ok()) return false;
  PreferenceFiles located{{}, keys.Path()};
  if (const std::optional<Preferences::Scope> scope = internal::ValueScope(mode)) {
    Preferences::FileLocation values;
    status = Preferences::LocateFile(domain, *scope, values);
    if (!status.Ok()) return false;
    located.values = values.Path();
  }
  files = located;
  return true;
}

}  // namespace ZQ::RVL::Utils
