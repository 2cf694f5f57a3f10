// ZQ_UTILS_API marks the declarations of the public headers that make up the
// toolkit's API. The library is compiled with hidden visibility, so a shared
// libzqutils exports these and nothing of its internals; in a static library
// the mark changes nothing for the program that links it.
//
// Thread-safety: a macro; nothing to guard.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ZQ_UTILS_API __attribute__((visibility("default")))
#else
#define ZQ_UTILS_API
#endif
