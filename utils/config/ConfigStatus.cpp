#include "utils/config/ConfigStatus.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "utils/config/store/StoreStatus.h"

namespace ZQ::RVL::Utils {

namespace {

const char* Summary(ConfigError error) {
  switch (error) {
    case ConfigError::kNone:
      return "ok";
    case ConfigError::kNotFound:
      return "no value under the key";
    case ConfigError::kWrongKind:
      return "the value is of another kind than asked";
    case ConfigError::kBadArgument:
      return "a name, key or value is not ASCII, or there are no bytes to store";
    case ConfigError::kNoValueScope:
      return "the mode has no value scope (only modes 0 and 1 have one)";
    case ConfigError::kNoLocation:
      return "the store has no place (no home folder, ZQ_PREFERENCES_ROOT not absolute, or "
             "ZQ_HOST_ID not valid)";
    case ConfigError::kLockTimeout:
      return "gave up waiting for the domain's lock";
    case ConfigError::kPermission:
      return "permission denied";
    case ConfigError::kNoSpace:
      return "no space left on the disk or in the quota";
    case ConfigError::kOverLimits:
      return "over the store's limits";
    case ConfigError::kDamaged:
      return "the file is damaged (not a property list the store reads)";
    case ConfigError::kNotAFile:
      return "the wrong kind of file";
    case ConfigError::kSystem:
      break;
  }
  return "the system failed";
}

}  // namespace

ConfigStatus::ConfigStatus(ConfigError error, int systemError, std::string path, std::string detail)
    : error_(error),
      systemError_(systemError),
      path_(std::move(path)),
      detail_(std::move(detail)) {}

std::string ConfigStatus::Message() const {
  // A detail that says the whole reason stands alone.
  if ((error_ == ConfigError::kBadArgument || error_ == ConfigError::kNoLocation) &&
      !detail_.empty()) {
    return detail_;
  }
  std::string text = Summary(error_);
  if (error_ == ConfigError::kSystem && systemError_ != 0) {
    // The English text whatever the host's locale, and thread-safe.
    const char* description = ::strerrordesc_np(systemError_);
    text = description != nullptr ? description : "error " + std::to_string(systemError_);
  }
  if (!path_.empty()) text += ": " + path_;
  if (!detail_.empty()) text += ": " + detail_;
  return text;
}

namespace Preferences {

ConfigStatus SystemFailure(int error, std::string path) {
  ConfigError code = ConfigError::kSystem;
  const char* detail = "";
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      code = ConfigError::kPermission;
      break;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      code = ConfigError::kNoSpace;
      break;
    case ENOTDIR:
      code = ConfigError::kNotAFile;
      detail = "a part of the path that should be a folder is not one";
      break;
    case EISDIR:
      code = ConfigError::kNotAFile;
      detail = "a folder sits where the file belongs";
      break;
    case ELOOP:
    case EMLINK:
      code = ConfigError::kNotAFile;
      detail = "a symbolic link sits where the file belongs";
      break;
    case EINVAL:
    case ENXIO:
      code = ConfigError::kNotAFile;
      detail = "a FIFO, device or socket sits where the file belongs";
      break;
    default:
      break;
  }
  return ConfigStatus(code, error, std::move(path), detail);
}

ConfigStatus LastSystemFailure(std::string path) {
  return SystemFailure(errno, std::move(path));
}

}  // namespace Preferences

}  // namespace ZQ::RVL::Utils
