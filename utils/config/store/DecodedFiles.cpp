#include "utils/config/store/DecodedFiles.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "utils/runtime/ProcessWide.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

struct KeptFile {
  std::string path;
  std::string bytes;
  std::shared_ptr<const Dictionary> dictionary;
};

// The kept files, most recently used first. Every lock is a try: the critical
// sections only move shared pointers, and whoever cannot enter goes without.
class KeptFiles {
 public:
  // Returns the entry kept for `path`, or null.
  std::shared_ptr<const KeptFile> Find(const std::string& path) {
    const std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return nullptr;
    const auto found = std::find_if(files_.begin(), files_.end(),
                                    [&](const auto& file) { return file->path == path; });
    if (found == files_.end()) return nullptr;
    std::rotate(files_.begin(), found, found + 1);
    return files_.front();
  }

  // Keeps `file` in place of what was kept for its path.
  void Keep(std::shared_ptr<const KeptFile> file) {
    const std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return;
    files_.erase(std::remove_if(files_.begin(), files_.end(),
                                [&](const auto& kept) { return kept->path == file->path; }),
                 files_.end());
    files_.insert(files_.begin(), std::move(file));
    std::size_t bytes = 0;
    std::size_t count = 0;
    while (count < files_.size() && count < kMaxKeptFiles &&
           bytes + files_[count]->bytes.size() <= kMaxKeptBytes) {
      bytes += files_[count++]->bytes.size();
    }
    files_.resize(count);
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<const KeptFile>> files_;
};

// Never destroyed: a caller's static object may read settings at exit.
Utils::internal::ProcessWide<KeptFiles> gKeptFiles;

KeptFiles& TheKeptFiles() {
  return gKeptFiles.Get();
}

// Keeps `bytes` of `path` with their dictionary (null: not decoded yet).
void Keep(const std::string& path, std::string bytes,
          std::shared_ptr<const Dictionary> dictionary) {
  try {
    TheKeptFiles().Keep(
        std::make_shared<const KeptFile>(KeptFile{path, std::move(bytes), std::move(dictionary)}));
  } catch (const std::bad_alloc&) {
    // Keeping is only a saving; the caller has what it needs without it.
  }
}

// The entry kept for exactly `bytes` of `path`, or null.
std::shared_ptr<const KeptFile> FindBytes(const std::string& path, std::string_view bytes) {
  if (bytes.size() > kMaxKeptBytes) return nullptr;
  std::shared_ptr<const KeptFile> kept = TheKeptFiles().Find(path);
  if (!kept || kept->bytes != bytes) return nullptr;
  return kept;
}

}  // namespace

std::shared_ptr<const Dictionary> FindKept(const std::string& path, std::string_view bytes) {
  const std::shared_ptr<const KeptFile> kept = FindBytes(path, bytes);
  if (kept && kept->dictionary) return kept->dictionary;
  if (!kept) {
    // New bytes: remember them, so that the next read of them decodes all.
    if (bytes.size() <= kMaxKeptBytes) Keep(path, std::string(bytes), nullptr);
    return nullptr;
  }
  auto decoded = std::make_shared<Dictionary>();
  if (!DecodeDictionary(bytes, *decoded)) return nullptr;
  std::shared_ptr<const Dictionary> dictionary = std::move(decoded);
  Keep(path, std::string(bytes), dictionary);
  return dictionary;
}

std::shared_ptr<const Dictionary> PeekKept(const std::string& path, std::string_view bytes) {
  const std::shared_ptr<const KeptFile> kept = FindBytes(path, bytes);
  return kept ? kept->dictionary : nullptr;
}

void KeepWritten(const std::string& path, std::string bytes, Dictionary dictionary) {
  if (bytes.size() > kMaxKeptBytes) return;
  try {
    Keep(path, std::move(bytes), std::make_shared<const Dictionary>(std::move(dictionary)));
  } catch (const std::bad_alloc&) {
    // As in Keep: the next read decodes the file instead.
  }
}

}  // namespace ZQ::RVL::Utils::Preferences
