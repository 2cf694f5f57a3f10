// ListPreferenceDomains: the domains of one mode's dictionaries, read from the
// names of the store's files.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "utils/config/ModeScopes.h"
#include "utils/config/PreferenceLocation.h"
#include "utils/config/store/PreferencePaths.h"
#include "utils/config/store/PreferenceStore.h"
#include "utils/config/store/StoreStatus.h"
#include "utils/file/File.h"
#include "utils/file/FileCalls.h"
#include "utils/runtime/CallGate.h"

namespace ZQ::RVL::Utils {

namespace {

// Adds the domains of the files of `scope` to `domains`. The file name of a
// domain is the domain followed by a suffix that depends only on the scope
// (".plist", or ".<host id>.plist"), so the suffix is taken from the name of
// a probe domain.
ConfigStatus AddDomains(Preferences::Scope scope, std::vector<std::string>& domains) {
  constexpr std::string_view kProbe = "p";
  Preferences::FileLocation probe;
  if (ConfigStatus located = Preferences::LocateFile(kProbe, scope, probe); !located.Ok()) {
    return located;
  }
  const std::string suffix = probe.fileName.substr(kProbe.size());
  const bool listed = internal::ListFolder(probe.folder, [&](int folder, const char* entry) {
    const std::string name = entry;
    struct stat info {};
    if (internal::files::StatAt(folder, entry, info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode) || name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      return;
    }
    std::string domain = name.substr(0, name.size() - suffix.size());
    if (Preferences::IsStorableDomain(domain)) domains.push_back(std::move(domain));
  });
  if (listed || errno == ENOENT) return {};
  return Preferences::LastSystemFailure(probe.folder);
}

}  // namespace

bool ListPreferenceDomains(std::int32_t mode, std::vector<std::string>& domains) {
  ConfigStatus status;
  return ListPreferenceDomains(mode, domains, status);
}

bool ListPreferenceDomains(std::int32_t mode, std::vector<std::string>& domains,
                           ConfigStatus& status) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);  // as LocatePreferenceFiles
  std::vector<std::string> found;
  if (const std::optional<Preferences::Scope> values = internal::ValueScope(mode)) {
    status = AddDomains(*values, found);
    if (!status.Ok()) return false;
  }
  status = AddDomains(internal::KeysScope(mode), found);
  if (!status.Ok()) return false;
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  domains = std::move(found);
  return true;
}

}  // namespace ZQ::RVL::Utils
