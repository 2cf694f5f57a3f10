// Which dictionaries of the store a Config of a given mode uses. Private to
// utils/config.
#pragma once

#include <cstdint>
#include <optional>

#include "utils/config/store/PreferencePaths.h"

namespace ZQ::RVL::Utils::internal {

// The dictionary of the value operations (Get*, Set*): mode 0 all users on
// this machine, mode 1 the current user on any machine, none for other modes.
inline std::optional<Preferences::Scope> ValueScope(std::int32_t mode) {
  using Preferences::HostScope;
  using Preferences::UserScope;
  if (mode == 0) return Preferences::Scope{UserScope::kAnyUser, HostScope::kCurrentHost};
  if (mode == 1) return Preferences::Scope{UserScope::kCurrentUser, HostScope::kAnyHost};
  return std::nullopt;
}

// The dictionary of Delete and GetKeys. Mode 0 lists and deletes in the
// all-users, any-machine dictionary, not in the this-machine one its values
// live in; every mode but 1 does the same.
inline Preferences::Scope KeysScope(std::int32_t mode) {
  using Preferences::HostScope;
  using Preferences::UserScope;
  if (mode == 1) return {UserScope::kCurrentUser, HostScope::kAnyHost};
  return {UserScope::kAnyUser, HostScope::kAnyHost};
}

}  // namespace ZQ::RVL::Utils::internal
