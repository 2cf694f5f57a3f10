// The preferences domain of a Config: "com." + the company name lower-cased
// (A-Z only) without spaces + "." + the application name unchanged. Private to
// utils/config. Thread-safety: a pure function.
#pragma once

#include <string>

namespace ZQ::RVL::Utils::internal {

// Returns the domain for `companyName` and `applicationName`, e.g. "Acme Audio"
// and "Tone Box" give "com.acmeaudio.Tone Box". Never fails; whether the result
// can be stored is the store's decision.
std::string ConfigDomain(const std::string& companyName, const std::string& applicationName);

}  // namespace ZQ::RVL::Utils::internal
