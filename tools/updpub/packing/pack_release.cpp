#include "updpub/packing/pack_release.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <numeric>
#include <set>
#include <stdexcept>

#include "digests/crc32.h"
#include "site/file_objects.h"
#include "updpub/host/parallel_jobs.h"
#include "updpub/host/progress.h"
#include "updpub/packing/code_delta_encoder.h"
#include "updpub/packing/object_codec.h"
#include "updpub/publish/documents.h"
#include "updpub/publish/older_versions.h"
#include "updpub/publish/text_rules.h"

namespace updpub {
namespace {

constexpr uint64_t kPercent = 100;
// A worker holds a file with its object or base and the encoder's tables, up
// to some 600 MiB at kLargestPackedFile: a 32-bit process has room for two.
constexpr unsigned kMostWorkersIn32Bits = 2;

unsigned PackWorkerCount() {
  return kWideAddresses ? ProcessorWorkerCount() : std::min(ProcessorWorkerCount(), kMostWorkersIn32Bits);
}

struct Base {
  const OlderFile* file;
  std::string baseName;  // "" for the file's own name
  std::string version;   // the older version it lies in
};

// One file's work: what it shares with the other workers is read-only,
// except the folders made and the progress, each behind its lock.
class Packer {
 public:
  Packer(SiteFiles& files, const ReleaseTree& release, const fs::path& staged, const PackSettings& settings,
         std::vector<engine::FileEntry>& entries, std::FILE* progressOut)
      : files_(files), release_(release), staged_(staged), settings_(settings), entries_(entries),
        progress_(progressOut, settings.showProgress && release.totalBytes >= kProgressMinimumBytes,
                  release.totalBytes, release.files.size()) {}

  PackResult Run() {
    for (const std::string& version : OlderVersions(settings_.site, settings_.latest, settings_.publishing,
                                                    static_cast<size_t>(settings_.deltaVersions))) {
      older_.push_back(ReadOlderVersion(settings_.site, version));
      olderNames_.push_back(version);
    }
    leftOut_.resize(release_.files.size());
    for (const ReleaseFile& file : release_.files) releaseNames_.push_back(FoldedName(file.listName));
    std::sort(releaseNames_.begin(), releaseNames_.end());

    // Largest first, so that one big file does not start last and run alone.
    std::vector<size_t> order(release_.files.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return release_.files[a].size > release_.files[b].size; });
    PackResult result;
    const ParallelRun run = RunInParallel(order.size(), PackWorkerCount(),
                                          [&](size_t i, std::string& error) { return PackFile(order[i], error); });
    progress_.Finish();
    if (run.failed) {
      result.file = release_.files[order[*run.failed]].shownName;
      result.error = run.error;
      return result;
    }
    for (std::vector<std::string>& notes : leftOut_)
      for (std::string& note : notes) result.leftOut.push_back(std::move(note));
    for (const engine::FileEntry& entry : entries_) {
      result.totals.packed += entry.PackedSize > 0;
      result.totals.deltas += entry.Deltas.size();
      result.totals.codeDeltas += entry.CodeDeltas.size();
      result.totals.bytes += entry.PackedSize;
      for (const engine::DeltaObject& delta : entry.Deltas) result.totals.bytes += delta.Size;
      for (const engine::DeltaObject& delta : entry.CodeDeltas) result.totals.bytes += delta.Size;
    }
    result.ok = true;
    return result;
  }

 private:
  bool PackFile(size_t index, std::string& error) {
    const ReleaseFile& file = release_.files[index];
    engine::FileEntry& entry = entries_[index];
    entry.Size = file.size;
    const uint32_t crc = HashValue(entry.Hash).value_or(0);
    if (file.size == 0) return Done(file.size);
    if (file.size > kLargestPackedFile) {
      LeaveOut(index, "no packed object or delta", "over " + std::to_string(kLargestPackedFile >> 20) +
                                                       " MiB, a file is not read whole to be packed");
      return Done(file.size);
    }
    std::string plain;
    if (!ReadWholeFile(file.source, kLargestPackedFile, plain, error)) return false;
    if (files::Crc32Update(0, plain.data(), plain.size()) != crc) {
      error = "the file changed while it was published";
      return false;
    }
    std::string object;
    if (Encoded(index, "no packed object", object, [&](std::string& out, std::string& why) {
          return EncodeObject(plain, {}, settings_.level, out, why);
        }) &&
        WorthARequest(plain.size(), object.size())) {
      if (!WriteObject(engine::PackedObjectName(entry.Name), object, error)) return false;
      entry.PackedSize = object.size();
    }
    const bool code = settings_.codeDeltas && IsCodeFile(plain);
    bool saidTooLargeForCode = false;
    for (const Base& base : Bases(file.listName, crc))
      if (!PackAgainst(index, plain, base, code, saidTooLargeForCode, error)) return false;
    for (std::vector<engine::DeltaObject>* deltas : {&entry.Deltas, &entry.CodeDeltas})
      std::stable_sort(deltas->begin(), deltas->end(),
                       [](const engine::DeltaObject& a, const engine::DeltaObject& b) { return a.Size < b.Size; });
    return Done(file.size);
  }

  // The delta, and for an executable the code delta, of a file against one
  // base, each written where it is worth it. False only when writing failed.
  bool PackAgainst(size_t index, const std::string& plain, const Base& base, bool code, bool& saidTooLargeForCode,
                   std::string& error) {
    engine::FileEntry& entry = entries_[index];
    std::string baseBytes;
    std::string ignored;
    // A base that is gone or differs from its list is no base.
    if (base.file->path.empty() || !ReadWholeFile(base.file->path, kMaxDeltaWindowBytes, baseBytes, ignored) ||
        baseBytes.empty() || files::Crc32Update(0, baseBytes.data(), baseBytes.size()) != base.file->crc)
      return true;
    const std::string against = "against " + base.version + "/" + Shown(base.file->listName);
    if (baseBytes.size() + plain.size() > kMaxDeltaWindowBytes) {
      LeaveOut(index, "no delta " + against, "the file and its base exceed the window a 32-bit updater decodes with");
      return true;
    }
    // Without the zstd delta there is nothing to weigh a code delta against.
    std::string delta;
    if (!Encoded(index, "no delta or code delta " + against, delta, [&](std::string& out, std::string& why) {
          return EncodeObject(plain, baseBytes, settings_.level, out, why);
        }))
      return true;
    const auto better = [&](const std::string& candidate) {
      return entry.PackedSize > 0 ? candidate.size() < entry.PackedSize : WorthARequest(plain.size(), candidate.size());
    };
    const std::string baseCrc = CrcText(base.file->crc);
    if (better(delta)) {
      if (!WriteObject(engine::DeltaObjectName(entry.Name, baseCrc), delta, error)) return false;
      entry.Deltas.push_back(engine::DeltaObject{baseCrc, delta.size(), base.baseName});
    }
    if (!code) return true;
    if (plain.size() > kLargestCodeDeltaFile) {
      // Said once for the file, not for each base.
      if (!saidTooLargeForCode)
        LeaveOut(index, "no code delta", "over " + std::to_string(kLargestCodeDeltaFile >> 20) +
                                             " MiB, the file and its prediction exceed the window a 32-bit updater "
                                             "decodes with; its deltas are made as for any file");
      saidTooLargeForCode = true;
      return true;
    }
    // Only where it beats the zstd delta of the same base: that delta is
    // what an updater without code deltas, or with a damaged one, takes.
    std::string codeDelta;
    if (!Encoded(index, "no code delta " + against, codeDelta, [&](std::string& out, std::string& why) {
          return EncodeCodeDelta(plain, baseBytes, settings_.level, out, why);
        }))
      return true;
    if (codeDelta.size() >= delta.size() || !better(codeDelta)) return true;
    if (!WriteObject(engine::CodeDeltaObjectName(entry.Name, baseCrc), codeDelta, error)) return false;
    entry.CodeDeltas.push_back(engine::DeltaObject{baseCrc, codeDelta.size(), base.baseName});
    return true;
  }

  // One form made by `encode`; one that cannot be made, for want of memory
  // too, is left out with a note and the file keeps its other forms.
  template <typename Encode>
  bool Encoded(size_t index, const std::string& form, std::string& out, const Encode& encode) {
    std::string why;
    try {
      if (encode(out, why)) return true;
    } catch (const std::bad_alloc&) {
      why = "out of memory";
    } catch (const std::length_error&) {
      why = "out of memory";
    }
    out.clear();
    out.shrink_to_fit();
    LeaveOut(index, form, why);
    return false;
  }

  void LeaveOut(size_t index, const std::string& form, const std::string& why) {
    leftOut_[index].push_back(release_.files[index].shownName + ": " + form + ": " + why);
  }

  // One base per older version, each base content once, never the file itself.
  std::vector<Base> Bases(const std::string& listName, uint32_t crc) const {
    std::vector<Base> bases;
    std::set<uint32_t> seen{crc};
    const std::string folded = FoldedName(listName);
    for (size_t i = 0; i < older_.size(); ++i) {
      const OlderFile* file = BaseFor(listName, older_[i], releaseNames_);
      if (!file || !seen.insert(file->crc).second) continue;
      bases.push_back(Base{file, FoldedName(file->listName) == folded ? std::string() : file->listName, olderNames_[i]});
    }
    return bases;
  }

  // Objects are named as list names, so they lie where the updater fetches them.
  bool WriteObject(const std::string& objectName, const std::string& bytes, std::string& error) {
    const fs::path path = ServedPath(staged_, objectName, settings_.utf8Urls);
    return MakeFolders(path.parent_path(), error) && files_.WriteFile(path, bytes, error);
  }

  bool MakeFolders(const fs::path& folder, std::string& error) {
    const std::lock_guard<std::mutex> lock(foldersLock_);
    if (made_.count(folder)) return true;
    if (!files_.MakeFolders(folder, error)) return false;
    made_.insert(folder);
    return true;
  }

  bool Done(uint64_t bytes) {
    const std::lock_guard<std::mutex> lock(progressLock_);
    progress_.AddBytes(bytes);
    progress_.FileDone();
    return true;
  }

  SiteFiles& files_;
  const ReleaseTree& release_;
  const fs::path& staged_;
  const PackSettings& settings_;
  std::vector<engine::FileEntry>& entries_;  // each worker writes only its own entries
  std::vector<std::vector<OlderFile>> older_;
  std::vector<std::string> olderNames_;  // older_[i] is version olderNames_[i]
  std::vector<std::vector<std::string>> leftOut_;  // per file; each worker writes only its own
  std::vector<std::string> releaseNames_;
  std::mutex foldersLock_;
  std::set<fs::path> made_;
  std::mutex progressLock_;
  ProgressBar progress_;
};

}  // namespace

bool WorthARequest(uint64_t plain, uint64_t object) {
  if (object >= plain) return false;
  const uint64_t saved = plain - object;
  return saved >= kMinSavedBytes && saved * kPercent >= plain * kMinSavedPercent;
}

PackResult PackRelease(SiteFiles& files, const ReleaseTree& release, const fs::path& staged,
                       const PackSettings& settings, std::vector<engine::FileEntry>& entries, std::FILE* progressOut) {
  return Packer(files, release, staged, settings, entries, progressOut).Run();
}

}  // namespace updpub
