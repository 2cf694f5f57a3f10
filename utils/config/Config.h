// ZQ::RVL::Utils::Config: text, integer and byte settings of one application,
// kept by key in the preferences domain "com.<company>.<Application>" (company
// lower-cased without spaces, application unchanged), in the all-users or the
// current-user scope chosen by a mode.
//
// Thread-safety: a Config has no mutable state; any thread may use any Config
// at once. Every operation goes to the preferences store: a write is on disk
// and visible to every process when it returns, and a read sees every write
// that returned before it, in any process. Nothing throws on bad input. Texts
// (names, keys, values) are 7-bit ASCII and end at their first NUL; an
// operation given any other text stores nothing and reads nothing.
//
// Writers of one dictionary, in every thread and process, take turns on a lock
// file that only its owner may open. A writer waits at most 5 seconds for its
// turn while the writers ahead of it make progress, however long the queue;
// when the holder of the lock made no progress for 5 seconds (a stopped or
// hung process), or after 2 minutes in all, the write stores nothing and
// fails with kLockTimeout. Reads take no lock. fork() waits until no operation of
// the store is under way in another thread (and operations wait while a fork
// is under way), so a child never inherits a lock, and writers in parent and
// child go on working; a fork from a signal handler that interrupted an
// operation does not wait for that one. _Fork() and clone() do not wait: a
// child made so while another thread wrote holds that write's lock until it
// exits or execs. No operation is a cancellation point: a thread cancelled
// during one is cancelled at its next cancellation point after it returns.
// Operations work in every destructor that runs at exit (a static object's,
// a thread_local's) and in threads still running then: nothing they use is
// destroyed, and the store never calls OpenSSL, whose clean-up at exit may
// already have run.
//
// The store lives in ZQ_PREFERENCES_ROOT when that is set and not empty; it and the other
// variables the store reads (ZQ_HOST_ID, XDG_CONFIG_HOME, HOME) are ignored by
// a set-uid, set-gid or capability-raised process. A FIFO, device, socket or
// folder in place of a store file makes the operations on it fail at once,
// and is never replaced. See doc/preferences-layout.md.
//
// Scopes by mode (all-users means all users of this machine):
//   mode  value operations (Get*, Set*)        Delete and GetKeys
//   0     all users, this machine only         all users, any machine
//   1     current user, any machine            current user, any machine
//   else  none: reads fail, writes do nothing  all users, any machine
// In mode 0, Delete and GetKeys therefore never see the keys that the value
// operations of mode 0 read and write.
//
// Failures: every operation has an overload that says whether it did what
// was asked and fills a ConfigStatus (ConfigStatus.h) with the reason: the
// error from a closed set, the errno and file where one applies. Writes
// (Set*, Delete) then return false, with nothing stored, and say why:
// kBadArgument, kNoValueScope, kNoLocation, kLockTimeout, kPermission,
// kNoSpace, kOverLimits, kNotAFile, kSystem. Reads return false, with
// their outputs unchanged, and say why: kNotFound (no value under the key),
// kWrongKind, and for a domain file they cannot read kDamaged, kOverLimits,
// kPermission, kNotAFile or kSystem; GetState says what a domain's file is.
//
// Limits: a domain's file holds at most 20,000 entries (keys, and the array
// items and nested keys of values other programs stored) and 16 MiB of
// content (its keys and texts as the binary form stores them: a byte a
// character when all are ASCII, else two per UTF-16 unit; its data and
// numbers), in a file of at most 17 MiB, so that every read and write of it
// takes well under a second. A write that would exceed them stores nothing
// (kOverLimits); a file beyond them is not read (kOverLimits; the next write
// keeps it aside and starts the domain afresh), as a file that is not a
// property list by the rules Python's plistlib applies, or that holds a value
// the store could not write back unchanged, is not (kDamaged). The status's
// detail names the rule and where the file breaks it. A lookup (Get*) in a
// file the store wrote reads only the keys a binary search compares and the
// value it finds, so it still answers from such a file damaged elsewhere
// (by a disk, or a program editing it in place); GetKeys, GetState and the
// next write read the whole file and refuse it (doc/preferences-layout.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "utils/Export.h"
#include "utils/config/ConfigStatus.h"

namespace ZQ::RVL::Utils {

// What a domain's file is, for GetState.
enum class DomainState {
  kPresent,     // there, and the store reads it
  kAbsent,      // no file yet: reads find nothing, the first write makes it
  kDamaged,     // not a file the store reads: reads fail; the next write
                // keeps it under an extra name and starts the domain afresh
  kOverLimits,  // beyond the store's limits: as kDamaged
  kUnreadable,  // cannot be read (permission, not a regular file, no place)
};

class ZQ_UTILS_API Config {
 public:
  // The limits of a domain's file (see Limits above), for callers that check
  // their input first: the bytes of its content, the size of the file itself
  // (binary or XML: the content and room for the binary form's structure at
  // kMaxEntries), and its entries.
  static constexpr std::size_t kMaxContentBytes = 16u << 20;
  static constexpr std::size_t kMaxFileBytes = kMaxContentBytes + (1u << 20);
  static constexpr std::size_t kMaxEntries = 20000;

  // Builds a Config for mode 0 (all users, this machine only).
  Config(const std::string& applicationName, const std::string& companyName);
  // Builds a Config for `mode`: 0 and 1 select a scope (see above); any other
  // mode makes every value operation fail or do nothing.
  Config(std::int32_t mode, const std::string& applicationName, const std::string& companyName);

  // Reads the text value under `key` into `value`. Returns false, leaving
  // `value` unchanged, when the mode has no value scope, no value is stored,
  // the value is bytes, or the text is not ASCII or has 512 characters or
  // more.
  bool GetString(const std::string& key, std::string& value) const;
  // As GetString; on false `status` says why (kNotFound: no value).
  bool GetString(const std::string& key, std::string& value, ConfigStatus& status) const;
  // The same operation as GetString.
  bool GetString32(const std::string& key, std::string& value) const;
  // The same operation as GetString.
  bool GetString64(const std::string& key, std::string& value) const;

  // Reads the text value under `key` as a decimal integer the way formatted
  // extraction from a string stream does: leading blanks skipped, an optional
  // sign, digits up to the first other character; a non-blank text with no
  // digits gives 0, a number out of range the nearest limit, and an empty or
  // all-blank text leaves `value` unchanged. Returns true whenever a readable
  // text is stored (even one holding no number); false, with `value`
  // unchanged, in the cases where GetString fails.
  bool GetValue(const std::string& key, std::int32_t& value) const;
  // As GetValue; on false `status` says why.
  bool GetValue(const std::string& key, std::int32_t& value, ConfigStatus& status) const;

  // Copies the byte value under `key` into a new array allocated with new[],
  // stored in `data` with its size in `length`; the caller owns it and frees
  // it with delete[]. Returns false, with both unchanged, when the mode has no
  // value scope, no value is stored, the value is text, or it is empty.
  bool GetData(const std::string& key, unsigned char*& data, std::uint32_t& length) const;
  // As GetData; on false `status` says why.
  bool GetData(const std::string& key, unsigned char*& data, std::uint32_t& length,
               ConfigStatus& status) const;

  // Stores the text `value` under `key`. Texts of 512 characters or more are
  // stored but cannot be read back. Reports nothing: stores nothing when the
  // mode has no value scope, a text is not ASCII, or the store cannot be
  // written (see Failures above); the overload below says which.
  void SetString(const std::string& key, const std::string& value) const;
  // As SetString. Returns true once the value is stored (durably, visible to
  // every process); false, with nothing stored and `status` saying why, when
  // it is not.
  bool SetString(const std::string& key, const std::string& value, ConfigStatus& status) const;
  // Stores `value` under `key` as its decimal text ("-" for negatives, no
  // leading zeros, no "+"). Fails as SetString does.
  void SetValue(const std::string& key, std::int32_t value) const;
  bool SetValue(const std::string& key, std::int32_t value, ConfigStatus& status) const;
  // Stores a copy of the `length` bytes at `data` under `key`; the caller
  // keeps its bytes. Does nothing (kBadArgument) when `data` is null or
  // `length` is 0 (an earlier value stays), nor (kOverLimits) when the
  // domain's file would exceed the store's limits (below); else fails as
  // SetString does.
  void SetData(const std::string& key, const unsigned char* data, std::uint32_t length) const;
  bool SetData(const std::string& key, const unsigned char* data, std::uint32_t length,
               ConfigStatus& status) const;

  // Removes `key` from the Delete/GetKeys scope of the mode (see above);
  // removing a key that is not there writes nothing. Reports nothing.
  void Delete(const std::string& key) const;
  // As Delete. Returns true when the key is not there afterwards; false, with
  // the dictionary unchanged and `status` saying why, when the store cannot
  // be read or written (as SetString). On a damaged domain Delete is a write
  // like any other: it keeps the damaged file aside and starts the domain
  // afresh, without the key.
  bool Delete(const std::string& key, ConfigStatus& status) const;
  // Returns the keys of the Delete/GetKeys scope of the mode, in byte order.
  // Keys that are not ASCII or have 512 characters or more are left out; an
  // empty list when there are none or the store cannot be read.
  std::vector<std::string> GetKeys() const;
  // Lists those keys into `keys`. Returns true when the dictionary was read
  // (no file: no keys); false, with `keys` empty and `status` saying why,
  // when it cannot be read (kDamaged, kPermission, ...).
  bool GetKeys(std::vector<std::string>& keys, ConfigStatus& status) const;

  // Says what the domain's file of the value operations is (for modes without
  // them, the file of Delete and GetKeys), and fills `status` with why it
  // cannot be read when it is not kPresent or kAbsent. Reads the file once.
  DomainState GetState(ConfigStatus& status) const;

 private:
  std::int32_t mode;
  std::string applicationName;
  std::string companyName;
};

}  // namespace ZQ::RVL::Utils
