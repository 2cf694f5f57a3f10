// The dictionaries of the settings files read last, each kept with the exact
// bytes it was decoded from, so that reading a file that did not change needs
// no second libplist parse. A kept dictionary is handed out only when the bytes
// just read from disk equal its bytes, so the answer is always what decoding
// those bytes gives: no inode number, size or time stamp is trusted (a rename
// can reuse an inode, and times repeat within a clock tick). (The binary form
// that libplist gives another program's value is not unique: it stores equal
// data once or not depending on where they lie in memory. A kept copy holds
// the same values as a new decode, not always the same bytes.) Private to the
// store.
//
// Thread-safety: any thread may call at once. The memory is shared by the
// process and never waited for: a call that finds it busy (another thread in
// it, or a fork that came while a thread was in it) decodes on its own.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "utils/config/store/PlistCodec.h"

namespace ZQ::RVL::Utils::Preferences {

// At most this many files, of at most this many bytes in all, are kept at
// once (their dictionaries take a few times as much); the file used least
// recently goes first. A larger file is decoded on every read.
constexpr std::size_t kMaxKeptFiles = 8;
constexpr std::size_t kMaxKeptBytes = 1u << 20;

// For a reader that needs only part of the file: returns the dictionary that
// `bytes`, just read from the file at `path`, decode to (see DecodeDictionary)
// when this process has read these very bytes of `path` before (kept, or
// decoded now and kept), and null when they are new to it or do not decode;
// the reader then decodes what it needs from `bytes` itself. So a file that
// changes between every two reads costs no more than such a partial decode.
// The dictionary is shared and never changes.
std::shared_ptr<const Dictionary> FindKept(const std::string& path, std::string_view bytes);

// For a writer, which replaces the file next: returns the dictionary kept for
// exactly `bytes` of `path`, or null; never decodes and never keeps anything.
std::shared_ptr<const Dictionary> PeekKept(const std::string& path, std::string_view bytes);

// For a writer that has just put `bytes` in place at `path`: keeps them with
// `dictionary`, which they were encoded from (EncodeDictionary) and so decode
// to, so that the next read or write of the file needs no parse.
void KeepWritten(const std::string& path, std::string bytes, Dictionary dictionary);

}  // namespace ZQ::RVL::Utils::Preferences
