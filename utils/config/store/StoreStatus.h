// How the store builds the ConfigStatus it hands up (ConfigStatus.h): from the
// errno a failed call of the file layer left, or from a reason of its own.
// Private to utils/config.
#pragma once

#include <string>

#include "utils/config/ConfigStatus.h"

namespace ZQ::RVL::Utils::Preferences {

// Returns the status of a system call on `path` that failed with `error` (an
// errno): kPermission, kNoSpace, kNotAFile or kSystem.
ConfigStatus SystemFailure(int error, std::string path);

// Returns the status of a system call on `path` that just failed, from errno.
ConfigStatus LastSystemFailure(std::string path);

}  // namespace ZQ::RVL::Utils::Preferences
