// Where a Config keeps its settings: the preferences domain derived from its
// names and the files of the store behind it. For tools and diagnostics; a
// Config needs none of this to work.
//
// Thread-safety: functions of their arguments and the environment
// (ZQ_PREFERENCES_ROOT, ZQ_HOST_ID, XDG_CONFIG_HOME, HOME), read on each call
// with secure_getenv, so a set-uid, set-gid or capability-raised process
// ignores all four. Safe from any thread as long as no thread changes the
// environment meanwhile (setenv and putenv are not thread-safe).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "utils/Export.h"
#include "utils/config/ConfigStatus.h"

namespace ZQ::RVL::Utils {

// Returns the domain a Config built from these names uses:
// "com." + the company lower-cased without spaces + "." + the application.
ZQ_UTILS_API std::string PreferenceDomainName(const std::string& applicationName,
                                              const std::string& companyName);

// The files behind a Config of one mode. Either may not exist yet.
struct PreferenceFiles {
  std::string values;  // of Get*/Set*; empty for a mode without a value scope
  std::string keys;    // of Delete and GetKeys
};

// Fills `files` for a Config of `mode` with these names. Returns false, with
// `files` unchanged, when the domain cannot name a file of the store or the
// store's location cannot be determined.
ZQ_UTILS_API bool LocatePreferenceFiles(std::int32_t mode, const std::string& applicationName,
                                        const std::string& companyName, PreferenceFiles& files);
// As above; on false `status` says why: kBadArgument or kNoLocation, with the
// reason in words ("ZQ_PREFERENCES_ROOT must be an absolute path...").
ZQ_UTILS_API bool LocatePreferenceFiles(std::int32_t mode, const std::string& applicationName,
                                        const std::string& companyName, PreferenceFiles& files,
                                        ConfigStatus& status);

// Fills `domains` with the domains that have a dictionary file in the store
// for a Config of `mode`: its value scope and its Delete/GetKeys scope (for
// mode 0 two dictionaries, for mode 1 one, for other modes the all-users,
// any-machine one), sorted and without repeats. A file that is not a regular
// file, or whose name cannot be a domain, is left out; the files are not
// opened, so a damaged dictionary is listed too. Returns true, with an empty
// list when the store's folders do not exist yet; returns false, with
// `domains` unchanged, when the store's location cannot be determined (see
// LocatePreferenceFiles) or a folder exists but cannot be read.
ZQ_UTILS_API bool ListPreferenceDomains(std::int32_t mode, std::vector<std::string>& domains);
// As above; on false `status` says why: kNoLocation, or the system's reason a
// folder cannot be read (kPermission, kNotAFile, kSystem) with its path.
ZQ_UTILS_API bool ListPreferenceDomains(std::int32_t mode, std::vector<std::string>& domains,
                                        ConfigStatus& status);

}  // namespace ZQ::RVL::Utils
