#include "install/apply_staged.h"

#include <algorithm>
#include <functional>

#include "base/byte_text.h"
#include "base/trace.h"
#include "files/file_system.h"
#include "files/real_folders.h"
#include "site/listed_hashes.h"

namespace engine {
namespace {

using files::FileOutcome;

constexpr auto kLeadByte = base::kDocumentFirstLeadByte;

constexpr char kHeldTrace[] = "文件被占用，稍后重试:";
constexpr char kGaveUpTrace[] = "文件一直被占用，放弃:";
constexpr char kRefusedTrace[] = "文件无法写入:";
constexpr char kSecurityTrace[] = "无法沿用原文件的权限:";
constexpr char kRestoreFailedTrace[] = "无法恢复文件:";

bool SameName(const std::string& a, const std::string& b) {
  return base::AsciiLower(a, kLeadByte) == base::AsciiLower(b, kLeadByte);
}

// Growing pauses between tries while another process holds a file, up to
// kHoldWaitMs from the first try.
class HoldWait {
 public:
  explicit HoldWait(Clock& clock) : clock_(clock), start_(clock.Now()) {}
  bool TimeLeft() { return clock_.Now() - start_ < kHoldWaitMs; }
  void Pause() {
    const uint32_t left = kHoldWaitMs - std::min(kHoldWaitMs, clock_.Now() - start_);
    clock_.Sleep(std::min(pause_, left));
    pause_ = std::min(pause_ * 2, kLongestHoldPauseMs);
  }

 private:
  Clock& clock_;
  uint32_t start_;
  uint32_t pause_ = kFirstHoldPauseMs;
};

// One operation on path, tried again while it meets a hold.
FileOutcome UntilReleased(Clock& clock, const std::string& path, const std::function<FileOutcome()>& attempt) {
  FileOutcome outcome = attempt();
  if (outcome != FileOutcome::kHeld) return outcome;
  base::Trace(kHeldTrace + path);
  HoldWait wait(clock);
  while (outcome == FileOutcome::kHeld && wait.TimeLeft()) {
    wait.Pause();
    outcome = attempt();
  }
  if (outcome == FileOutcome::kHeld) base::Trace(kGaveUpTrace + path);
  return outcome;
}

// The first installed file that stands in the way, and whether another
// process held it.
struct Blocked {
  const FileEntry* entry = nullptr;
  std::string path;
  bool held = false;
};

// A file that cannot be opened for writing is most likely held by the running
// program, or for a moment by a scanner; every listed file is tested, changed
// or not, so that nothing moves while any of them is held. Held files are
// tried again together for up to kHoldWaitMs; a refusal waiting cannot mend
// (a read-only file) ends the test at once.
Blocked TestWritability(files::FileSystem& fs, Clock& clock, const ApplyInput& input,
                        const std::vector<FileEntry>& serverFiles) {
  std::vector<Blocked> held;
  Blocked refused;
  for (const FileEntry& entry : serverFiles) {
    if (IsOwnExecutable(entry.Name, input.ownExeName)) continue;
    const std::string target = input.programFolder + entry.Name;
    if (!fs.Exists(target)) continue;
    const FileOutcome outcome = fs.TestWritable(target);
    if (outcome == FileOutcome::kFailed && !refused.entry) {
      base::Trace(kRefusedTrace + target);
      refused = {&entry, target, false};
    } else if (outcome == FileOutcome::kHeld) {
      base::Trace(kHeldTrace + target);
      held.push_back({&entry, target, true});
    }
  }
  if (refused.entry) return refused;
  HoldWait wait(clock);
  while (!held.empty() && wait.TimeLeft()) {
    wait.Pause();
    std::vector<Blocked> still;
    for (const Blocked& blocked : held) {
      if (!fs.Exists(blocked.path)) continue;
      const FileOutcome outcome = fs.TestWritable(blocked.path);
      if (outcome == FileOutcome::kFailed) return {blocked.entry, blocked.path, false};
      if (outcome == FileOutcome::kHeld) still.push_back(blocked);
    }
    held.swap(still);
  }
  if (held.empty()) return {};
  for (const Blocked& blocked : held) base::Trace(kGaveUpTrace + blocked.path);
  return held.front();
}

// The folders above an entry's file, below base, that do not exist yet,
// from the top down.
std::vector<std::string> MissingFolders(files::FileSystem& fs, const std::string& base, const std::string& name) {
  std::vector<std::string> missing;
  for (std::string folder = FolderOfEntry(base, name); folder.size() > base.size();) {
    const std::string path = folder.substr(0, folder.size() - 1);
    if (fs.Exists(path)) break;
    missing.insert(missing.begin(), path);
    folder = FolderOfEntry(base, folder.substr(base.size(), folder.size() - base.size() - 1));
  }
  return missing;
}

void RemoveFolders(files::FileSystem& fs, const std::vector<std::string>& topDown) {
  for (auto it = topDown.rbegin(); it != topDown.rend(); ++it) fs.RemoveFolder(*it);
}

// One move that returns a file: from the target back into staging, or an old
// copy kept aside back onto its target.
FileOutcome Return(files::FileSystem& fs, Clock& clock, const std::string& from, const std::string& to) {
  base::Trace(kReturningTrace + to);
  const FileOutcome outcome = UntilReleased(clock, from, [&] { return fs.Replace(from, to); });
  if (outcome != FileOutcome::kDone) base::Trace(kRestoreFailedTrace + to);
  return outcome;
}

// An old file kept aside whose installed name is absent is the only copy of
// that file: a pass was cut short between moving it aside and placing the
// new one, or while it was being undone, or its undo could not return it.
// Every such file returns before anything else is tested or moved, and
// before any kept file is removed. The backup's path below the replaced
// folder is the installed name. False, with the file reported, when one
// cannot return: nothing else moves then.
bool ReturnKeptOldFiles(files::FileSystem& fs, Clock& clock, const std::string& programFolder,
                        ApplyResult& result) {
  const std::string staging = programFolder + kStagingFolderName;
  const std::string replaced = staging + kReplacedFolderName;
  // Read only from a folder of the pass's own making: through a link, files
  // of wherever it points would be moved into the program folder.
  if (fs.IsLink(staging) || !fs.Exists(replaced) || !files::MakeRealFolders(fs, staging, replaced)) return true;
  for (const std::string& name : fs.ListFiles(replaced)) {
    const std::string target = programFolder + name;
    if (fs.Exists(target)) continue;
    const bool returned = fs.MakeFolders(FolderOfEntry(programFolder, name)) &&
                          Return(fs, clock, replaced + name, target) == FileOutcome::kDone;
    if (!returned) {
      result.outcome = ApplyOutcome::kPlaceFailed;
      result.unreturned.push_back({name, replaced + name});
      return false;
    }
  }
  return true;
}

// The placing pass and its undoing.
class Placement {
 public:
  Placement(files::FileSystem& fs, Clock& clock, const ApplyInput& input, ApplyResult& result)
      : fs_(fs),
        clock_(clock),
        input_(input),
        result_(result),
        staging_(input.programFolder + kStagingFolderName),
        replaced_(staging_ + kReplacedFolderName) {}

  // Backups left by an earlier pass (a file a running program still had
  // loaded cannot be deleted at exit) can go: every one whose installed name
  // was absent has returned before the pass began.
  void RemoveOldBackups() {
    if (!fs_.IsLink(staging_) && fs_.Exists(replaced_)) fs_.RemoveTree(replaced_);
  }

  // The rename reaches the disk at once; the data must be there before it,
  // or a power cut could leave the target named new but full of zeros. The
  // installed file is kept under a second name in the backup folder, so the
  // staged file replaces it in one step that can be undone and a crash never
  // finds the target missing. Where the volume has no second names, or
  // another process holds the file, it is moved aside instead: a program or
  // DLL in use can be renamed.
  bool Place(const FileEntry& entry) {
    File file{entry.Name, input_.programFolder + entry.Name, staging_ + entry.Name, replaced_ + entry.Name, false, {}};
    FileOutcome outcome = UntilReleased(clock_, file.staged, [&] { return fs_.Flush(file.staged); });
    if (outcome != FileOutcome::kDone) return Fail(entry, file.staged, outcome);
    file.madeFolders = MissingFolders(fs_, input_.programFolder, entry.Name);
    if (!fs_.MakeFolders(FolderOfEntry(input_.programFolder, entry.Name))) {
      RemoveFolders(fs_, file.madeFolders);
      return Fail(entry, file.target, FileOutcome::kFailed);
    }
    file.hadOld = fs_.Exists(file.target);
    bool linked = false;
    if (file.hadOld) {
      // Explicit grants on the installed file (an installer's "Users:
      // Modify" on a data file) would otherwise give way to what the staging
      // folder passes on.
      if (!fs_.CopySecurity(file.target, file.staged)) base::Trace(kSecurityTrace + file.target);
      outcome = files::MakeRealFolders(fs_, staging_, FolderOfEntry(replaced_, entry.Name)) ? FileOutcome::kDone
                                                                                              : FileOutcome::kFailed;
      linked = outcome == FileOutcome::kDone && fs_.HardLink(file.target, file.backup) == FileOutcome::kDone;
      if (outcome == FileOutcome::kDone && !linked) {
        outcome = UntilReleased(clock_, file.target, [&] { return fs_.Replace(file.target, file.backup); });
      }
      if (outcome != FileOutcome::kDone) {
        RemoveFolders(fs_, file.madeFolders);
        return Fail(entry, file.target, outcome);
      }
    }
    base::Trace(kPlacingTrace + file.target);
    outcome = UntilReleased(clock_, file.staged, [&] { return fs_.Replace(file.staged, file.target); });
    if (outcome != FileOutcome::kDone) {
      if (linked) {
        fs_.RemoveFile(file.backup);  // the target never left
      } else if (file.hadOld) {
        ReturnOld(file);
      }
      RemoveFolders(fs_, file.madeFolders);
      return Fail(entry, file.staged, outcome);
    }
    placed_.push_back(std::move(file));
    return true;
  }

 private:
  struct File {
    std::string name, target, staged, backup;
    bool hadOld;
    std::vector<std::string> madeFolders;  // top down
  };

  // Every file placed so far goes back into the staging folder and every
  // installed file it replaced returns, the last placed first.
  bool Fail(const FileEntry& entry, const std::string& path, FileOutcome outcome) {
    result_.outcome = ApplyOutcome::kPlaceFailed;
    result_.failedName = entry.Name;
    if (outcome == FileOutcome::kHeld) result_.heldPath = path;
    for (auto it = placed_.rbegin(); it != placed_.rend(); ++it) {
      // Should the new file stay held, the old one still returns over it:
      // the program must be one release, and the download can be repeated.
      Return(fs_, clock_, it->target, it->staged);
      if (it->hadOld) ReturnOld(*it);
      RemoveFolders(fs_, it->madeFolders);
    }
    placed_.clear();
    return false;
  }

  // An old file that cannot return stays where it is kept, and is named.
  void ReturnOld(const File& file) {
    if (Return(fs_, clock_, file.backup, file.target) != FileOutcome::kDone) {
      result_.unreturned.push_back({file.name, file.backup});
    }
  }

  files::FileSystem& fs_;
  Clock& clock_;
  const ApplyInput& input_;
  ApplyResult& result_;
  const std::string staging_;
  const std::string replaced_;
  std::vector<File> placed_;
};

// The download list in placement order: the updater left out (the
// replacement script puts it in place after exit), the main program last.
std::vector<const FileEntry*> PlacementOrder(const ApplyInput& input,
                                             const std::vector<FileEntry>& downloadList) {
  std::vector<const FileEntry*> order;
  std::vector<const FileEntry*> mainProgram;
  for (const FileEntry& entry : downloadList) {
    if (!IsPlaceableName(entry.Name) || IsOwnExecutable(entry.Name, input.ownExeName)) continue;
    (SameName(entry.Name, input.mainExe) ? mainProgram : order).push_back(&entry);
  }
  order.insert(order.end(), mainProgram.begin(), mainProgram.end());
  return order;
}

// The first file of the download list (the updater's own copy included)
// whose staged copy is gone: one removed since its download (a virus
// scanner, a cleaning tool) would otherwise leave its old file installed
// while the update reports success and removes the staging folder.
const FileEntry* FirstUnstaged(files::FileSystem& fs, const std::string& stagingFolder,
                              const std::vector<FileEntry>& downloadList) {
  for (const FileEntry& entry : downloadList) {
    if (IsPlaceableName(entry.Name) && !fs.Exists(stagingFolder + entry.Name)) return &entry;
  }
  return nullptr;
}

// Every staged file about to be placed (the updater's own copy included) is
// still the one the signed list names. All are checked before the first
// moves, so a file changed in the staging folder since its download leaves
// the installed program whole rather than half new.
bool AllStagedMatch(files::FileSystem& fs, const std::string& stagingFolder,
                    const std::vector<FileEntry>& downloadList) {
  for (const FileEntry& entry : downloadList) {
    if (IsPlaceableName(entry.Name) && !DigestMatches(fs.Digest(stagingFolder + entry.Name), entry))
      return false;
  }
  return true;
}

}  // namespace

bool IsOwnExecutable(const std::string& name, const std::string& ownExeName) {
  return SameName(name, ownExeName);
}

ApplyResult ApplyStagedFiles(files::FileSystem& fs, Clock& clock, const ApplyInput& input) {
  static const std::vector<FileEntry> kNoFiles;
  const std::vector<FileEntry>& serverFiles = input.serverFiles ? *input.serverFiles : kNoFiles;
  const std::vector<FileEntry>& downloadList = input.downloadList ? *input.downloadList : kNoFiles;
  const std::string stagingFolder = input.programFolder + kStagingFolderName;
  ApplyResult result;

  if (!ReturnKeptOldFiles(fs, clock, input.programFolder, result)) return result;
  const Blocked blocked = TestWritability(fs, clock, input, serverFiles);
  if (blocked.entry) {
    result.outcome = ApplyOutcome::kUnwritable;
    result.failedName = blocked.entry->Name;
    if (blocked.held) result.heldPath = blocked.path;
    return result;
  }
  if (const FileEntry* unstaged = FirstUnstaged(fs, stagingFolder, downloadList)) {
    result.outcome = ApplyOutcome::kStagedMissing;
    result.failedName = unstaged->Name;
    return result;
  }
  if (input.requireSha256 && !AllStagedMatch(fs, stagingFolder, downloadList)) {
    result.outcome = ApplyOutcome::kVerifyFailed;
    return result;
  }

  // Only what this run verified is placed: a staged file left by an earlier
  // run may belong to another release. After a crash the next run's
  // difference step lists exactly the targets still old or absent, and finds
  // their staged copies verified.
  Placement placement(fs, clock, input, result);
  // Backups are read, deleted and made only in a folder of the pass's own
  // making: through a link they would be taken from, and removed, wherever
  // it points.
  const std::string backups = stagingFolder + kReplacedFolderName;
  if (fs.Exists(backups) && files::MakeRealFolders(fs, stagingFolder, backups)) placement.RemoveOldBackups();
  for (const FileEntry* entry : PlacementOrder(input, downloadList)) {
    if (!placement.Place(*entry)) return result;
  }

  result.outcome = ApplyOutcome::kApplied;
  for (const FileEntry& entry : downloadList) {
    if (IsOwnExecutable(entry.Name, input.ownExeName) && fs.Exists(stagingFolder + entry.Name)) {
      result.selfUpdatePending = true;
    }
  }
  return result;
}

}  // namespace engine
