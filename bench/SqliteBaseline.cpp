// SQLite as a baseline of the store's reads and writes, in WAL mode, the mode
// in which a reader and a writer in different processes do not wait for each
// other (what the store's readers and writers do).
//
// The read: of a fresh connection (open, read the schema, query) and a
// connection that stays open while another one writes, the second is what a
// program that keeps settings in SQLite does, and it is what the store's first
// read after another process's write compares to: the store, too, keeps what
// it read for the next call, and must notice that the file changed and read
// what changed. SQLite notices it in the WAL index and drops its page cache,
// so the query reads its pages again (from the kernel's cache, as the store
// reads its file). A connection in this process that writes between two reads
// stands for the other process: SQLite takes the same locks and shared-memory
// path between connections of one process as between processes.
#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench/PeerBaselines.h"
#include "bench/SettingsData.h"

namespace zqbench {

namespace {

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct FinalizeStatement {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// Opens the database at `path` with `pragmas` run; null, with `error` set, on
// failure.
Database Open(const std::string& path, const std::string& pragmas, std::string& error) {
  sqlite3* raw = nullptr;
  const int opened =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  Database db(raw);
  if (opened != SQLITE_OK ||
      sqlite3_exec(db.get(), pragmas.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    error = path + ": " + (db ? sqlite3_errmsg(db.get()) : "cannot open");
    return nullptr;
  }
  return db;
}

Statement Prepare(sqlite3* db, const char* sql, std::string& error) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
  }
  return Statement(raw);
}

constexpr char kUpsert[] =
    "INSERT INTO settings(key, value) VALUES(?1, ?2) "
    "ON CONFLICT(key) DO UPDATE SET value = excluded.value";

// Sets `key` to `value` through `upsert` (kUpsert), in a transaction of its own.
bool Upsert(sqlite3_stmt* upsert, const std::string& key, const std::string& value) {
  sqlite3_bind_text(upsert, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
  sqlite3_bind_text(upsert, 2, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
  const bool done = sqlite3_step(upsert) == SQLITE_DONE;
  sqlite3_reset(upsert);
  return done;
}

// Creates the database `domain`.db in `folder` anew with `keys` keys at
// version 0, and returns a connection to it in WAL mode with synchronous=FULL.
Database Create(const std::string& folder, const std::string& domain, int keys,
                std::string& error) {
  const std::string path = folder + "/" + domain + ".db";
  for (const char* suffix : {"", "-wal", "-shm"}) ::remove((path + suffix).c_str());
  Database db = Open(path,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE TABLE settings("
                     "key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL) WITHOUT ROWID",
                     error);
  if (!db) return nullptr;
  const Statement upsert = Prepare(db.get(), kUpsert, error);
  bool filled = upsert && sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  for (int i = 0; filled && i < keys; ++i)
    filled = Upsert(upsert.get(), KeyName(i), ValueOf(domain, i, 0));
  if (!filled || sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    if (error.empty()) error = sqlite3_errmsg(db.get());
    return nullptr;
  }
  return db;
}

struct ReadState {
  Database writer;
  Database reader;
  Statement upsert;
  Statement select;
  std::string domain;
  std::string key;
  int changed = 0;
  int version = 0;
  std::string expected;
};

struct WriteState {
  Database db;
  Statement upsert;
  std::string domain;
  std::string key;
  int changed = 0;
  int version = 0;
  std::string value;
};

}  // namespace

bool SqliteReadAfterWrite(const std::string& folder, const std::string& domain, int keys,
                          int changed, Contender& contender, std::string& error) {
  auto state = std::make_shared<ReadState>();
  state->writer = Create(folder, domain, keys, error);
  if (!state->writer) return false;
  // The writer's durability is not measured; without its fsyncs the untimed
  // preparation of each call stays short. The reader's cost does not depend on it.
  if (sqlite3_exec(state->writer.get(), "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    error = sqlite3_errmsg(state->writer.get());
    return false;
  }
  state->reader = Open(folder + "/" + domain + ".db", "PRAGMA journal_mode=WAL", error);
  if (!state->reader) return false;
  state->upsert = Prepare(state->writer.get(), kUpsert, error);
  state->select = Prepare(state->reader.get(), "SELECT value FROM settings WHERE key = ?1", error);
  if (!state->upsert || !state->select) return false;
  state->domain = domain;
  state->key = KeyName(changed);
  state->changed = changed;
  contender.name = "BaselineSqliteReadAfterWrite/" + std::to_string(keys);
  contender.baseline = true;
  contender.beforeCall = [state] {
    state->expected = ValueOf(state->domain, state->changed, ++state->version);
    return Upsert(state->upsert.get(), state->key, state->expected);
  };
  contender.call = [state] {
    sqlite3_stmt* select = state->select.get();
    sqlite3_bind_text(select, 1, state->key.data(), static_cast<int>(state->key.size()),
                      SQLITE_STATIC);
    bool read = false;
    if (sqlite3_step(select) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select, 0));
      read = text != nullptr && state->expected == text;
    }
    sqlite3_reset(select);
    return read;
  };
  return true;
}

bool SqliteWrite(const std::string& folder, const std::string& domain, int keys, int changed,
                 Contender& contender, std::string& error) {
  auto state = std::make_shared<WriteState>();
  state->db = Create(folder, domain, keys, error);
  if (!state->db) return false;
  state->upsert = Prepare(state->db.get(), kUpsert, error);
  if (!state->upsert) return false;
  state->domain = domain;
  state->key = KeyName(changed);
  state->changed = changed;
  contender.name = "BaselineSqliteWrite/" + std::to_string(keys);
  contender.baseline = true;
  contender.beforeCall = [state] {
    state->value = ValueOf(state->domain, state->changed, ++state->version);
    return true;
  };
  contender.call = [state] { return Upsert(state->upsert.get(), state->key, state->value); };
  return true;
}

}  // namespace zqbench
