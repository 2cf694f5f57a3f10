#include "utils/config/DomainName.h"

namespace ZQ::RVL::Utils {

// "com." + `name` + ".", with A-Z lower-cased and every space (code 32)
// removed; tabs and other bytes stay. Lower-casing is done by hand rather than
// with tolower(), whose result depends on the host application's locale.
static std::string GetRVLIDStr(const std::string& name) {
  const std::string text = "com." + name + ".";
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (c == ' ') continue;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    result += c;
  }
  return result;
}

namespace internal {

std::string ConfigDomain(const std::string& companyName, const std::string& applicationName) {
  return GetRVLIDStr(companyName) + applicationName;
}

}  // namespace internal
}  // namespace ZQ::RVL::Utils
