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

#include "utils/Export.h"

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

}  // namespace ZQ::RVL::Utils
