#include "utils/config/store/DecodedFiles.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <utility>
#include <variant>
#include <vector>

#include "utils/runtime/ProcessWide.h"

namespace ZQ::RVL::Utils::Preferences {

namespace {

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
           bytes + files_[count]->footprint <= kMaxKeptBytes) {
      bytes += files_[count++]->footprint;
    }
    files_.resize(count);
  }

  std::size_t Footprint() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::size_t bytes = 0;
    for (const auto& file : files_) bytes += file->footprint;
    return bytes;
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

void Keep(KeptFile file) {
  file.footprint += file.bytes.size();
  if (file.footprint > kMaxKeptBytes) return;
  try {
    TheKeptFiles().Keep(std::make_shared<const KeptFile>(std::move(file)));
  } catch (const std::bad_alloc&) {
    // Keeping is only a saving; the caller has what it needs without it.
  }
}

}  // namespace

std::shared_ptr<const KeptFile> FindKept(const std::string& path, std::string_view bytes) {
  if (bytes.size() > kMaxKeptBytes) return nullptr;
  std::shared_ptr<const KeptFile> kept = TheKeptFiles().Find(path);
  if (!kept || kept->bytes != bytes) return nullptr;
  return kept;
}

void KeepChecked(const std::string& path, std::string bytes, PlistLayout layout) {
  Keep(KeptFile{path, std::move(bytes), layout, nullptr});
}

void KeepDecoded(const std::string& path, std::string bytes, Dictionary dictionary) {
  // A map node and two string headers an entry, besides what the strings hold.
  constexpr std::size_t kEntryOverhead = 160;
  std::size_t footprint = 0;
  for (const auto& [key, value] : dictionary) {
    footprint += kEntryOverhead + key.size() + PayloadOf(value).size();
  }
  if (bytes.size() + footprint > kMaxKeptBytes) return;
  try {
    auto kept = std::make_shared<const Dictionary>(std::move(dictionary));
    Keep(KeptFile{path, std::move(bytes), PlistLayout::kOther, std::move(kept), footprint});
  } catch (const std::bad_alloc&) {
    // As in Keep: the next read checks the file instead.
  }
}

std::size_t KeptFootprint() {
  return TheKeptFiles().Footprint();
}

}  // namespace ZQ::RVL::Utils::Preferences
