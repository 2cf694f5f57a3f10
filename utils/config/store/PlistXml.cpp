#include "utils/config/store/PlistXml.h"

#include <locale.h>
#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>

namespace ZQ::RVL::Utils::Preferences {

namespace {

// libplist 2.2 hands out malloc'd buffers for the caller to free(); its own
// plist_*_free helpers came later.
struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
using MallocPtr = std::unique_ptr<char, FreeDeleter>;

struct NodeDeleter {
  void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using NodePtr = std::unique_ptr<void, NodeDeleter>;

// The C locale on this thread for the scope's lifetime; the thread's own
// locale (usually the global one the host set) comes back after.
class CLocale {
 public:
  CLocale() : c_(::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr))) {
    if (c_ != nullptr) previous_ = ::uselocale(c_);
  }
  ~CLocale() {
    if (previous_ != nullptr) ::uselocale(previous_);
    if (c_ != nullptr) ::freelocale(c_);
  }
  CLocale(const CLocale&) = delete;
  CLocale& operator=(const CLocale&) = delete;

  bool Active() const { return previous_ != nullptr; }

 private:
  locale_t c_;
  locale_t previous_ = nullptr;
};

bool FitsLibplistLength(std::size_t size) {
  return size <= std::numeric_limits<std::uint32_t>::max();
}

}  // namespace

bool XmlToBinary(std::string_view xml, std::string& binary) {
  if (xml.empty() || !FitsLibplistLength(xml.size())) return false;
  const CLocale c;
  if (!c.Active()) return false;
  plist_t raw = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &raw);
  const NodePtr root(raw);
  if (!root) return false;
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root.get(), &bytes, &length);
  const MallocPtr owned(bytes);
  if (!owned) return false;
  binary.assign(owned.get(), length);
  return true;
}

bool BinaryToXml(std::string_view binary, std::string& xml) {
  if (binary.empty() || !FitsLibplistLength(binary.size())) return false;
  const CLocale c;
  if (!c.Active()) return false;
  plist_t raw = nullptr;
  plist_from_bin(binary.data(), static_cast<std::uint32_t>(binary.size()), &raw);
  const NodePtr root(raw);
  if (!root) return false;
  char* text = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root.get(), &text, &length);
  const MallocPtr owned(text);
  if (!owned) return false;
  xml.assign(owned.get(), length);
  return true;
}

}  // namespace ZQ::RVL::Utils::Preferences
