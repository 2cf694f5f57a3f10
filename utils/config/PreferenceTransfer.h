// Moving a Config's settings in and out as one property-list file, as a
// desktop's preferences tool exports and imports a domain: for tools such as
// `zqutil prefs export|import`; a Config needs none of this to work. Both work
// on the dictionary of a mode's value scope (the one Get* and Set* use; see
// PreferenceLocation.h), so modes without one (all but 0 and 1) have nothing
// to move.
//
// Thread-safety: as Config's value operations, from any thread at once; the
// environment is read as PreferenceLocation.h says.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "utils/Export.h"
#include "utils/config/ConfigStatus.h"

namespace ZQ::RVL::Utils {

enum class PreferenceFormat {
  kXml,     // an XML property list, for people and diffs
  kBinary,  // a binary property list ("bplist00"), as the store keeps it
};

// Fills `file` with the dictionary of the value scope of a Config of `mode`
// with these names, as a property list in `format`: every value, those another
// program stored (numbers, dates, arrays...) as they were. No settings yet
// give an empty dictionary. Returns false, with `file` unspecified, when the
// mode has no value scope, the domain cannot be located (see
// LocatePreferenceFiles), or its file cannot be read or is damaged, and for
// kXml also when the XML would exceed the store's file limit
// (Config::kMaxFileBytes) or a value would not read back unchanged from it (a
// date with fractions of a second or before the year 1000, -0.0 or an
// infinity, a text holding a carriage return, a control character, U+FFFE or
// U+FFFF): kBinary carries every value.
ZQ_UTILS_API bool ExportPreferences(std::int32_t mode, const std::string& applicationName,
                                    const std::string& companyName, PreferenceFormat format,
                                    std::string& file);
// As above; on false `status` says why: kNoValueScope, the reasons a read
// fails (Config.h), kOverLimits (the limit in its detail), or kBadArgument
// for a value the XML cannot carry (which, in its detail).
ZQ_UTILS_API bool ExportPreferences(std::int32_t mode, const std::string& applicationName,
                                    const std::string& companyName, PreferenceFormat format,
                                    std::string& file, ConfigStatus& status);

// What a stored value is, for tools that show values of every kind.
enum class PreferenceKind {
  kText,   // SetString, SetValue (its decimal text), or another program's text
  kBytes,  // SetData, or another program's data
  kBoolean,
  kInteger,
  kReal,
  kDate,
  kUid,
  kArray,
  kDictionary,
};

// One entry of a dictionary, as ListPreferenceValues gives it.
struct PreferenceValue {
  std::string key;  // as stored: UTF-8, any length
  PreferenceKind kind = PreferenceKind::kText;
  // kText: the text (UTF-8); kBytes: the bytes; any other kind (values
  // other programs stored): the value in JSON (RFC 8259) — numbers (a real in
  // the shortest form that reads back to its bits; NaN and the infinities as
  // the strings "NaN", "Infinity", "-Infinity"), true or false, a date as
  // "YYYY-MM-DDTHH:MM:SSZ" (UTC, fractions of a second after a point), UIDs
  // as {"UID": n}, arrays and objects of those, texts as strings with every
  // control character escaped, data as strings of hex digits.
  std::string value;
};

// `text` as a JSON string: in double quotes, with quotes, backslashes, every
// control character (C0, DEL, C1), U+2028 and U+2029 (line breaks to some
// readers) and the marks and overrides of bidirectional text (U+061C,
// U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) escaped, and each byte
// that is not part of well-formed UTF-8 as \ufffd, so that it cannot end a
// line, reorder one or reach a terminal as a control.
ZQ_UTILS_API std::string JsonString(std::string_view text);

// `value.value` in JSON: a text as JsonString, bytes as a string of hex
// digits, any other kind as it is.
ZQ_UTILS_API std::string JsonValue(const PreferenceValue& value);

// The name of `kind` in the tool's output and JSON: "text", "bytes",
// "boolean", "integer", "real", "date", "UID", "array", "dictionary".
ZQ_UTILS_API const char* PreferenceKindName(PreferenceKind kind);

// Lists every entry of the dictionary of the value scope of a Config of
// `mode` with these names into `values`, in byte order of their keys, values
// of every kind (what ExportPreferences would export). Returns false, with
// `values` empty and `status` saying why, as ExportPreferences fails.
ZQ_UTILS_API bool ListPreferenceValues(std::int32_t mode, const std::string& applicationName,
                                       const std::string& companyName,
                                       std::vector<PreferenceValue>& values, ConfigStatus& status);

// Lists every key of the dictionary that Config::GetKeys and Config::Delete
// of `mode` work on into `keys`, in byte order, as stored (UTF-8, any
// length: GetKeys leaves out those that are not ASCII or too long for its
// texts, which Config cannot address). Returns false, with `keys` empty and
// `status` saying why, as ListPreferenceValues fails.
ZQ_UTILS_API bool ListPreferenceKeys(std::int32_t mode, const std::string& applicationName,
                                     const std::string& companyName, std::vector<std::string>& keys,
                                     ConfigStatus& status);

enum class ImportResult {
  kImported,    // the dictionary is now the file's, durably
  kRefused,     // the file is not one the store keeps; nothing changed
  kNotWritten,  // no value scope, no location, or the write failed; nothing changed
};

// Replaces the whole dictionary of the value scope of a Config of `mode` with
// the one in `file`, a binary or XML property list (a file a desktop's
// preferences tool exported, or one ExportPreferences made), in one atomic,
// durable write under the domain's lock, as a Set* writes. Refuses a file that
// is not a property list whose root is a dictionary, or that the store would
// treat as damaged if it found it on disk (see doc/preferences-layout.md for
// its rules and limits). Whenever the file is not imported, `why` says why in
// words; otherwise it is left as it was.
ZQ_UTILS_API ImportResult ImportPreferences(std::int32_t mode, const std::string& applicationName,
                                            const std::string& companyName, std::string_view file,
                                            std::string& why);
// As above, with the reason in `status`: for kRefused kDamaged or, for a file
// beyond a limit, kOverLimits (the rule broken and where in its detail); for
// kNotWritten kNoValueScope or the reasons a write fails (Config.h).
ZQ_UTILS_API ImportResult ImportPreferences(std::int32_t mode, const std::string& applicationName,
                                            const std::string& companyName, std::string_view file,
                                            ConfigStatus& status);

}  // namespace ZQ::RVL::Utils
