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
