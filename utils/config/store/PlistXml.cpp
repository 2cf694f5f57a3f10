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

// Parses `in` with libplist's `parse` and writes the tree into `out` with
// `write`, inside the C locale.
template <typename Parse, typename Write>
bool Convert(std::string_view in, Parse parse, Write write, std::string& out) {
  if (in.empty() || !FitsLibplistLength(in.size())) return false;
  const CLocale c;
  if (!c.Active()) return false;
  plist_t raw = nullptr;
  parse(in.data(), static_cast<std::uint32_t>(in.size()), &raw);
  const NodePtr root(raw);
  if (!root) return false;
  char* bytes = nullptr;
  std::uint32_t length = 0;
  write(root.get(), &bytes, &length);
  const MallocPtr owned(bytes);
  if (!owned) return false;
  out.assign(owned.get(), length);
  return true;
}

}  // namespace

bool XmlToBinary(std::string_view xml, std::string& binary) {
  return Convert(xml, plist_from_xml, plist_to_bin, binary);
}

bool BinaryToXml(std::string_view binary, std::string& xml) {
  return Convert(binary, plist_from_bin, plist_to_xml, xml);
}

}  // namespace ZQ::RVL::Utils::Preferences
