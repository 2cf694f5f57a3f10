// ListPreferenceDomains: the domains of one mode's dictionaries, read from the
// names of the store's files.
#include <dirent.h>
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
#include "utils/config/store/ForkGuard.h"
#include "utils/config/store/PreferencePaths.h"

namespace ZQ::RVL::Utils {

namespace {

struct DirectoryCloser {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

// Adds the domains of the files of `scope` to `domains`. The file name of a
// domain is the domain followed by a suffix that depends only on the scope
// (".plist", or ".<host id>.plist"), so the suffix is taken from the name of
// a probe domain.
bool AddDomains(Preferences::Scope scope, std::vector<std::string>& domains) {
  constexpr std::string_view kProbe = "p";
  Preferences::FileLocation probe;
  if (!Preferences::LocateDomainFile(kProbe, scope, probe)) return false;
  const std::string suffix = probe.fileName.substr(kProbe.size());
  const std::unique_ptr<DIR, DirectoryCloser> folder(::opendir(probe.folder.c_str()));
  if (!folder) return errno == ENOENT;
  errno = 0;
  while (const dirent* entry = ::readdir(folder.get())) {
    const std::string name = entry->d_name;
    struct stat info {};
    const bool regular = entry->d_type == DT_REG || (entry->d_type == DT_UNKNOWN &&
                                                     ::fstatat(::dirfd(folder.get()), entry->d_name,
                                                               &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                                                     S_ISREG(info.st_mode));
    if (!regular || name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    std::string domain = name.substr(0, name.size() - suffix.size());
    if (Preferences::IsStorableDomain(domain)) domains.push_back(std::move(domain));
  }
  return errno == 0;
}

}  // namespace

bool ListPreferenceDomains(std::int32_t mode, std::vector<std::string>& domains) {
  const Preferences::ForkGuard guard;  // as LocatePreferenceFiles
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
