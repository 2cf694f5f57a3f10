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

// At most this many files, taking at most this many bytes of memory in all
// (their bytes, and their dictionaries as Footprint counts them), are kept at
// once; the file used least recently goes first. A larger file is checked on
// every read.
constexpr std::size_t kMaxKeptFiles = 128;
constexpr std::size_t kMaxKeptBytes = 16u << 20;

struct KeptFile {
  std::string path;
  std::string bytes;
  // How the bytes are laid out: a kFlat or kPacked file LookUpChecked
  // searches; a writer splices a kPacked one (PlistBinaryWriter.h).
  PlistLayout layout = PlistLayout::kOther;
  // The dictionary the bytes decode to, when this process wrote them or read
  // them twice without the store's own layout; else null.
  std::shared_ptr<const Dictionary> dictionary;
  // The memory the entry takes: its bytes, and its dictionary's keys, values
  // and nodes.
  std::size_t footprint = 0;
};

// Returns what is kept for exactly `bytes` of the file at `path`, or null.
std::shared_ptr<const KeptFile> FindKept(const std::string& path, std::string_view bytes);

// For a reader that has just found `bytes` of `path` sound, in `layout`.
void KeepChecked(const std::string& path, std::string bytes, PlistLayout layout);

// Keeps `bytes` of `path` with `dictionary`, which they decode to: a writer
// that has just put them in place (they were encoded from it), or a reader
// that decoded them whole, so that the next read or write of the file needs
// no check or decode.
void KeepDecoded(const std::string& path, std::string bytes, Dictionary dictionary);

// The memory all kept files take now (their footprints).
std::size_t KeptFootprint();

}  // namespace ZQ::RVL::Utils::Preferences
