#include "updpub/packing/pack_release.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <new>
#include <numeric>
#include <set>
#include <stdexcept>

#include "digests/crc32.h"
#include "site/file_objects.h"
#include "updpub/host/memory.h"
#include "updpub/host/parallel_jobs.h"
#include "updpub/host/progress.h"
#include "updpub/packing/code_delta_encoder.h"
#include "updpub/packing/memory_estimate.h"
#include "updpub/packing/object_codec.h"
#include "updpub/packing/segmented_delta_encoder.h"
#include "updpub/publish/documents.h"
#include "updpub/publish/older_versions.h"
#include "updpub/publish/text_rules.h"

namespace updpub {
namespace {

constexpr uint64_t kPercent = 100;
constexpr int kMiBShift = 20;
// A worker holds a file with its object or base and the encoder's tables:
// beside the memory budget, a 32-bit process runs no more than two, so its
// threads and heap keep room between them.
constexpr unsigned kMostWorkersIn32Bits = 2;
// A file whose packing takes longer than this gets lines of its own on
// standard error, one at most every kFileLineInterval.
constexpr auto kQuietFileTime = std::chrono::seconds(5);
constexpr auto kFileLineInterval = std::chrono::seconds(10);
// From this size on, a file's forms (its packed object, each delta and code
// delta) are made side by side where memory allows: one large program
// would otherwise keep a single core busy for minutes while the others idle.
constexpr uint64_t kSideBySideFrom = uint64_t{32} << 20;

unsigned PackWorkerCount() {
  return kWideAddresses ? ProcessorWorkerCount() : std::min(ProcessorWorkerCount(), kMostWorkersIn32Bits);
}

struct Base {
  const OlderFile* file;
  std::string baseName;  // "" for the file's own name
  std::string version;   // the older version it lies in
};

// Rounded up: a limit of 1.5 MiB is not "1 MiB".
std::string MiB(uint64_t bytes) {
  return std::to_string((bytes + (uint64_t{1} << kMiBShift) - 1) >> kMiBShift) + " MiB";
}

// How far one file's packing has got: its forms are its steps, each worth
// an equal share of its bytes on the bar.
struct FileWork {
  std::string name;  // as shown
  uint64_t bytes = 0;
  size_t steps = 1;
  std::vector<uint64_t> done = {0};  // of each step's bytes; steps may run side by side
  uint64_t shown = 0;  // of bytes, on the bar so far
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastLine = started;
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
    budget_ = settings_.memory.shared > 0 ? settings_.memory
                                          : PackingBudget(PhysicalMemoryBytes(), AddressSpaceBytes());
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
    std::vector<uint64_t> costs;
    for (size_t index : order) costs.push_back(FileMemory(index));
    PackResult result;
    const ParallelRun run = RunWithinBudget(costs, budget_.shared, PackWorkerCount(),
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
      result.totals.deltas += entry.Deltas.size() + entry.SegmentedDeltas.size();
      result.totals.codeDeltas += entry.CodeDeltas.size();
      result.totals.bytes += entry.PackedSize;
      for (const engine::DeltaObject& delta : entry.Deltas) result.totals.bytes += delta.Size;
      for (const engine::DeltaObject& delta : entry.CodeDeltas) result.totals.bytes += delta.Size;
      for (const engine::DeltaObject& delta : entry.SegmentedDeltas) result.totals.bytes += delta.Size;
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
    FileWork work;
    work.name = file.shownName;
    work.bytes = file.size;
    if (file.size == 0) return Done(work);
    if (file.size > kLargestPackedFile) {
      LeaveOut(index, "no packed object or delta",
               "over " + MiB(kLargestPackedFile) + ", a file is not read whole to be packed");
      return Done(work);
    }
    const std::vector<Base> bases = Bases(file.listName, crc);
    const bool packable = Affordable(index, "no packed object", PackedMemory(file.size, settings_.level));
    const auto deltaMemory = [&](const Base& base) { return DeltaMemory(file.size, BaseBytes(base), settings_.level); };
    if (!packable && std::none_of(bases.begin(), bases.end(),
                                  [&](const Base& base) { return deltaMemory(base) <= budget_.most; })) {
      for (const Base& base : bases) Affordable(index, "no delta or code delta " + Against(base), deltaMemory(base));
      return Done(work);
    }
    std::string plain;
    if (!ReadWholeFile(file.source, kLargestPackedFile, plain, error)) return false;
    if (files::Crc32Update(0, plain.data(), plain.size()) != crc) {
      error = "the file changed while it was published";
      return false;
    }
    const bool code = settings_.codeDeltas && IsCodeFile(plain);
    const size_t stepsPerBase = code ? 2 : 1;
    work.steps = 1 + bases.size() * stepsPerBase;
    work.done.assign(work.steps, 0);
    const bool sideBySide = SideBySide(index, FormsMemory(index));
    // The packed object, beside the deltas where the forms run side by side.
    std::string packed;
    bool packedMade = false;
    const auto makePacked = [&] {
      packedMade = packable && Encoded(index, "no packed object", packed, [&](std::string& out, std::string& why) {
                     return EncodeObject(plain, {}, settings_.level, out, why, Steps(work, 0, "packed object"));
                   });
    };
    std::future<void> packedJob;
    if (sideBySide) {
      packedJob = std::async(std::launch::async, makePacked);
    } else {
      makePacked();
    }
    // A delta is weighed against the packed object: it is settled first.
    bool packedSettled = false;
    const std::function<bool(std::string&)> settlePacked = [&](std::string& why) {
      if (packedJob.valid()) packedJob.get();
      if (packedSettled) return true;
      packedSettled = true;
      if (!packedMade || !WorthARequest(plain.size(), packed.size())) return true;
      if (!WriteObject(engine::PackedObjectName(entry.Name), packed, why)) return false;
      entry.PackedSize = packed.size();
      return true;
    };
    bool saidTooLargeForCode = false;
    for (size_t i = 0; i < bases.size(); ++i) {
      const size_t step = 1 + i * stepsPerBase;
      if (!PackAgainst(index, plain, bases[i], code, sideBySide, settlePacked, saidTooLargeForCode, work, step, error))
        return false;
    }
    if (!settlePacked(error)) return false;
    for (std::vector<engine::DeltaObject>* deltas : {&entry.Deltas, &entry.CodeDeltas, &entry.SegmentedDeltas})
      std::stable_sort(deltas->begin(), deltas->end(),
                       [](const engine::DeltaObject& a, const engine::DeltaObject& b) { return a.Size < b.Size; });
    return Done(work);
  }

  // The delta, and for an executable the code delta, of a file against one
  // base, each written where it is worth it. False only when writing failed.
  bool PackAgainst(size_t index, const std::string& plain, const Base& base, bool code, bool sideBySide,
                   const std::function<bool(std::string&)>& settlePacked, bool& saidTooLargeForCode, FileWork& work,
                   size_t step, std::string& error) {
    engine::FileEntry& entry = entries_[index];
    const std::string against = Against(base);
    const uint64_t baseSize = BaseBytes(base);
    // A whole delta's pair is within kLargestDeltaFile; a larger one is
    // made in segments.
    const bool segmented = IsSegmentedPair(plain.size(), baseSize);
    if (baseSize > kLargestPackedFile) {
      LeaveOut(index, "no delta " + against, "the base is over " + MiB(kLargestPackedFile));
      return true;
    }
    if (!Affordable(index, "no delta or code delta " + against, DeltaMemory(plain.size(), baseSize, settings_.level)))
      return true;
    std::string baseBytes;
    std::string ignored;
    // A base that is gone or differs from its list is no base.
    if (base.file->path.empty() || !ReadWholeFile(base.file->path, kLargestPackedFile, baseBytes, ignored) ||
        baseBytes.empty() || files::Crc32Update(0, baseBytes.data(), baseBytes.size()) != base.file->crc)
      return true;
    // The code delta is made beside the delta where the forms run side by
    // side, else after it; it is kept only where it beats that delta.
    bool codeWanted = code && !segmented && plain.size() <= kLargestCodeDeltaFile;
    if (code && !codeWanted && !saidTooLargeForCode) {
      // Said once for the file, not for each base.
      LeaveOut(index, "no code delta", "the file and its base are over " + MiB(kLargestWholeDeltaPair) +
                                           ", more than the updater maps at once; its deltas are made "
                                           "in segments");
      saidTooLargeForCode = true;
    }
    codeWanted = codeWanted && Affordable(index, "no code delta " + against,
                                          CodeDeltaMemory(plain.size(), baseBytes.size(), settings_.level));
    std::string codeDelta;
    bool codeMade = false;
    const auto makeCode = [&] {
      codeMade = Encoded(index, "no code delta " + against, codeDelta, [&](std::string& out, std::string& why) {
        return EncodeCodeDelta(plain, baseBytes, settings_.level, out, why, Steps(work, step + 1, "code delta " + against));
      });
    };
    std::future<void> codeJob;
    if (codeWanted && sideBySide) codeJob = std::async(std::launch::async, makeCode);
    std::string delta;
    const bool deltaMade =
        Encoded(index, "no delta or code delta " + against, delta, [&](std::string& out, std::string& why) {
          return segmented ? EncodeSegmentedDelta(plain, baseBytes, settings_.level, out, why,
                                                  Steps(work, step, "delta in segments " + against))
                           : EncodeObject(plain, baseBytes, settings_.level, out, why,
                                          Steps(work, step, "delta " + against));
        });
    // Without the zstd delta there is nothing to weigh a code delta against.
    if (codeWanted && !sideBySide && deltaMade) makeCode();
    if (codeJob.valid()) codeJob.get();
    if (!settlePacked(error)) return false;
    if (!deltaMade) return true;
    const auto better = [&](const std::string& candidate) {
      return entry.PackedSize > 0 ? candidate.size() < entry.PackedSize : WorthARequest(plain.size(), candidate.size());
    };
    const std::string baseCrc = CrcText(base.file->crc);
    if (better(delta)) {
      const std::string name = segmented ? engine::SegmentedDeltaObjectName(entry.Name, baseCrc)
                                         : engine::DeltaObjectName(entry.Name, baseCrc);
      if (!WriteObject(name, delta, error)) return false;
      (segmented ? entry.SegmentedDeltas : entry.Deltas)
          .push_back(engine::DeltaObject{baseCrc, delta.size(), base.baseName});
    }
    // Only where it beats the zstd delta of the same base: that delta is
    // what an updater without code deltas, or with a damaged one, takes.
    if (!codeMade || codeDelta.size() >= delta.size() || !better(codeDelta)) return true;
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
    const std::lock_guard<std::mutex> lock(leftOutLock_);
    leftOut_[index].push_back(release_.files[index].shownName + ": " + form + ": " + why);
  }

  // Whether a form that holds `bytes` at its peak may be made; one that
  // may not is left out with a note.
  bool Affordable(size_t index, const std::string& form, uint64_t bytes) {
    if (bytes <= budget_.most) return true;
    LeaveOut(index, form,
             "it would need about " + MiB(bytes) + " of memory, more than publishing takes here (" +
                 MiB(budget_.most) + ")");
    return false;
  }

  static std::string Against(const Base& base) {
    return "against " + base.version + "/" + Shown(base.file->listName);
  }

  static uint64_t BaseBytes(const Base& base) {
    std::error_code error;
    const uintmax_t size = base.file->path.empty() ? 0 : fs::file_size(base.file->path, error);
    return error ? 0 : size;
  }

  // What a file holds at its peak, its forms made one after another; forms
  // beyond what one job may hold are not made and not counted.
  uint64_t FileMemory(size_t index) const {
    const FormMemory memory = FormsMemory(index);
    return SideBySide(index, memory) ? memory.sideBySide : memory.oneAtATime;
  }

  // What a file's forms hold at their peak made one after another (the
  // largest form's), and side by side (the packed object's beside the
  // largest of each base's delta and code delta together). Forms beyond
  // what one job may hold are not made and not counted.
  struct FormMemory {
    uint64_t oneAtATime = 0;
    uint64_t sideBySide = 0;
  };
  FormMemory FormsMemory(size_t index) const {
    const ReleaseFile& file = release_.files[index];
    FormMemory memory;
    if (file.size == 0 || file.size > kLargestPackedFile) return memory;
    const int level = settings_.level;
    const auto affordable = [&](uint64_t bytes) { return bytes <= budget_.most ? bytes : 0; };
    const uint64_t packed = affordable(PackedMemory(file.size, level));
    uint64_t mostPerBase = 0;
    memory.oneAtATime = packed;
    const bool code = settings_.codeDeltas && MayBeCode(file.source);
    for (const Base& base : Bases(file.listName, HashValue(entries_[index].Hash).value_or(0))) {
      const uint64_t baseSize = BaseBytes(base);
      const uint64_t delta = affordable(DeltaMemory(file.size, baseSize, level));
      const uint64_t codeDelta = code && !IsSegmentedPair(file.size, baseSize)
                                     ? affordable(CodeDeltaMemory(file.size, baseSize, level))
                                     : 0;
      memory.oneAtATime = std::max({memory.oneAtATime, delta, codeDelta});
      mostPerBase = std::max(mostPerBase, delta + codeDelta);
    }
    memory.sideBySide = packed + mostPerBase;
    return memory;
  }

  // Whether a file's forms run side by side: a large file, on a machine
  // with cores to spare, where they all fit what one job may hold.
  bool SideBySide(size_t index, const FormMemory& memory) const {
    return release_.files[index].size >= kSideBySideFrom && PackWorkerCount() > 1 &&
           memory.sideBySide <= budget_.most;
  }

  // Whether a file begins as an executable does; read before packing to
  // weigh its code deltas.
  static bool MayBeCode(const fs::path& path) {
    HostFile file;
    std::string error;
    char head[2] = {};
    size_t got = 0;
    return file.OpenForReading(path, error) && file.Read(head, sizeof head, got, error) && got == sizeof head &&
           head[0] == 'M' && head[1] == 'Z';
  }

  // The encoder's progress through the file's current step.
  EncodeProgress Steps(FileWork& work, size_t step, const std::string& what) {
    return [this, &work, step, what](uint64_t done) { Advance(work, step, done, what); };
  }

  // The file's share of the bar moved on, and, once it has taken a while,
  // a line of its own now and then.
  void Advance(FileWork& work, size_t step, uint64_t doneInStep, const std::string& what) {
    if (work.bytes == 0 || step >= work.done.size()) return;
    const std::lock_guard<std::mutex> lock(progressLock_);
    work.done[step] = std::min(doneInStep, work.bytes);
    const uint64_t done = std::accumulate(work.done.begin(), work.done.end(), uint64_t{0});
    const double fraction =
        std::min(1.0, static_cast<double>(done) / static_cast<double>(work.bytes) / static_cast<double>(work.steps));
    const uint64_t reached = static_cast<uint64_t>(fraction * static_cast<double>(work.bytes));
    const auto now = std::chrono::steady_clock::now();
    if (reached > work.shown) {
      progress_.AddBytes(reached - work.shown);
      work.shown = reached;
    }
    if (now - work.started < kQuietFileTime || now - work.lastLine < kFileLineInterval) return;
    work.lastLine = now;
    progress_.Note(work.name + ": " + std::to_string(static_cast<int>(fraction * kPercent)) + "% of " +
                   MiB(work.bytes) + ", " + what);
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

  bool Done(const FileWork& work) {
    const std::lock_guard<std::mutex> lock(progressLock_);
    progress_.AddBytes(work.bytes - std::min(work.bytes, work.shown));
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
  std::mutex leftOutLock_;                         // a file's forms may run side by side
  std::vector<std::string> releaseNames_;
  std::mutex foldersLock_;
  std::set<fs::path> made_;
  std::mutex progressLock_;
  ProgressBar progress_;
  MemoryBudget budget_;
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
