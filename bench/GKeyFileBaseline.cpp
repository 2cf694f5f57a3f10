// GLib's GKeyFile as a baseline of the store's first read after another
// process's write: a GKeyFile-based store has no choice but to parse the whole
// file again, as the store does today.
#include <glib.h>

#include <memory>
#include <string>

#include "bench/PeerBaselines.h"
#include "bench/SettingsData.h"

namespace zqbench {

namespace {

constexpr char kGroup[] = "Settings";

// The text of a key file of `keys` keys, key `changed` at `version`.
std::string KeyFileText(const std::string& domain, int keys, int changed, int version) {
  std::string text = "[" + std::string(kGroup) + "]\n";
  for (int i = 0; i < keys; ++i) {
    text += KeyName(i) + "=" + ValueOf(domain, i, i == changed ? version : 0) + "\n";
  }
  return text;
}

struct KeyFileState {
  std::string path;
  std::string key;
  std::string texts[2];
  std::string values[2];
  int flips = 0;
  const std::string* expected = nullptr;
};

}  // namespace

bool GKeyFileReadAfterChange(const std::string& folder, const std::string& domain, int keys,
                             int changed, Contender& contender, std::string& error) {
  auto state = std::make_shared<KeyFileState>();
  state->path = folder + "/" + domain + ".ini";
  state->key = KeyName(changed);
  for (int version = 0; version < 2; ++version) {
    state->texts[version] = KeyFileText(domain, keys, changed, version);
    state->values[version] = ValueOf(domain, changed, version);
  }
  if (!ReplaceByRename(state->path, state->texts[1])) {
    error = "cannot write " + state->path;
    return false;
  }
  contender.name = "BaselineGKeyFileLoad/" + std::to_string(keys);
  contender.baseline = true;
  contender.beforeCall = [state] {
    const int version = state->flips++ % 2;
    state->expected = &state->values[version];
    return ReplaceByRename(state->path, state->texts[version]);
  };
  contender.call = [state] {
    GKeyFile* file = g_key_file_new();
    bool read = false;
    if (g_key_file_load_from_file(file, state->path.c_str(), G_KEY_FILE_NONE, nullptr)) {
      gchar* value = g_key_file_get_string(file, kGroup, state->key.c_str(), nullptr);
      read = value != nullptr && *state->expected == value;
      g_free(value);
    }
    g_key_file_free(file);
    return read;
  };
  return true;
}

}  // namespace zqbench
