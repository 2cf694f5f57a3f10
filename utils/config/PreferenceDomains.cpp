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
#include "utils/file/File.h"
#include "utils/file/FileCalls.h"
#include "utils/runtime/CallGate.h"

namespace ZQ::RVL::Utils {

namespace {

// Adds the domains of the files of `scope` to `domains`. The file name of a
// domain is the domain followed by a suffix that depends only on the scope
// (".plist", or ".<host id>.plist"), so the suffix is taken from the name of
// a probe domain.
bool AddDomains(Preferences::Scope scope, std::vector<std::string>& domains) {
  constexpr std::string_view kProbe = "p";
  Preferences::FileLocation probe;
  if (!Preferences::LocateDomainFile(kProbe, scope, probe)) return false;
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
  return listed || errno == ENOENT;
}

}  // namespace

bool ListPreferenceDomains(std::int32_t mode, std::vector<std::string>& domains) {
  const Utils::internal::Inside inStore(Utils::internal::Gate::kStore);  // as LocatePreferenceFiles
  std::vector<std::string> found;
  if (const std::optional<Preferences::Scope> values = internal::ValueScope(mode)) {
    if (!AddDomains(*values, found)) return false;
  }
  if (!AddDomains(internal::KeysScope(mode), found)) return false;
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  domains = std::move(found);
  return true;
}

}  // namespace ZQ::RVL::Utils
