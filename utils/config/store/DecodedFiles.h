// The settings files read and written last, each kept with the exact bytes
// the store found sound (or wrote), so that reading a file that did not
// change needs no second check: a kept file is used only when the bytes just
// read from disk equal its bytes, so the answer is always what reading those
// bytes gives; no inode number, size or time stamp is trusted (a rename can
// reuse an inode, and times repeat within a clock tick). Private to the store.
//
// Thread-safety: any thread may call at once. The memory is shared by the
// process and never waited for: a call that finds it busy (another thread in
// it, or a fork that came while a thread was in it) goes without.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "utils/config/store/PlistCodec.h"

namespace ZQ::RVL::Utils::Preferences {

// At most this many files, of at most this many bytes in all, are kept at
// once; the file used least recently goes first. A larger file is checked on
// every read.
constexpr std::size_t kMaxKeptFiles = 128;
constexpr std::size_t kMaxKeptBytes = 16u << 20;

struct KeptFile {
  std::string path;
  std::string bytes;
  // The store's own layout (PlistLayout::kFlat): LookUpChecked searches it.
  bool flat = false;
  // The dictionary the bytes decode to, when this process wrote them; else
  // null.
  std::shared_ptr<const Dictionary> dictionary;
};

// Returns what is kept for exactly `bytes` of the file at `path`, or null.
std::shared_ptr<const KeptFile> FindKept(const std::string& path, std::string_view bytes);

// For a reader that has just found `bytes` of `path` sound, in `layout`.
void KeepChecked(const std::string& path, std::string bytes, PlistLayout layout);

// For a writer that has just put `bytes` in place at `path`: keeps them with
// `dictionary`, which they were encoded from (EncodeDictionary) and so decode
// to, so that the next read or write of the file needs no check or decode.
void KeepWritten(const std::string& path, std::string bytes, Dictionary dictionary);

}  // namespace ZQ::RVL::Utils::Preferences
