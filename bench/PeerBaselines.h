// Baselines from peer libraries that keep settings in files, for the settings
// figures of ConfigBench.cpp: GLib's GKeyFile (GKeyFileBaseline.cpp) and SQLite
// (SqliteBaseline.cpp). Each is built only when its library was found, and
// then bench/CMakeLists.txt defines ZQ_BENCH_WITH_GLIB or ZQ_BENCH_WITH_SQLITE.
// Every function fills `contender` with a baseline over a file of `keys` keys
// named by KeyName, holding ValueOf(domain, key, 0), in `folder`, and returns
// true; or returns false with `error` saying what failed.
#pragma once

#include <string>

#include "bench/Interleaved.h"

namespace zqbench {

// BaselineGKeyFileLoad/KEYS: before each call, a key file ([Settings] group)
// of those keys and values is replaced by a rename, alternately with one where
// key `changed` holds its version 1, as the store's file is before its figure;
// the call loads the file (g_key_file_load_from_file) and reads key `changed`.
bool GKeyFileReadAfterChange(const std::string& folder, const std::string& domain, int keys,
                             int changed, Contender& contender, std::string& error);

// BaselineSqliteReadAfterWrite/KEYS: a table (key TEXT PRIMARY KEY, value
// TEXT) WITHOUT ROWID in a WAL database. Before each call another connection
// sets key `changed` to its next version; the call reads that key through a
// prepared statement of a reader connection that stays open between calls.
bool SqliteReadAfterWrite(const std::string& folder, const std::string& domain, int keys,
                          int changed, Contender& contender, std::string& error);

// BaselineSqliteWrite/KEYS: the same table, synchronous=FULL; each call sets
// key `changed` to a new value in a transaction of its own (an upsert through
// a prepared statement), durable when it returns.
bool SqliteWrite(const std::string& folder, const std::string& domain, int keys, int changed,
                 Contender& contender, std::string& error);

}  // namespace zqbench
