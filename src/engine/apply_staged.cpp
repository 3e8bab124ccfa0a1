#include "engine/apply_staged.h"

#include "base/byte_text.h"
#include "engine/signed_documents.h"
#include "files/file_system.h"

namespace engine {
namespace {

constexpr auto kLeadByte = base::kDocumentFirstLeadByte;

bool SameName(const std::string& a, const std::string& b) {
  return base::AsciiLower(a, kLeadByte) == base::AsciiLower(b, kLeadByte);
}

// A file that cannot be opened for writing is most likely held by the running
// program; every listed file is tested, changed or not, so that nothing moves
// while any of them is held.
bool AllWritable(files::FileSystem& fs, const ApplyInput& input, const std::vector<FileEntry>& serverFiles) {
  bool writable = true;
  for (const FileEntry& entry : serverFiles) {
    if (IsOwnExecutable(entry.Name, input.ownExeName)) continue;
    const std::string target = input.programFolder + entry.Name;
    if (fs.Exists(target) && !fs.CanOpenForWriting(target)) writable = false;
  }
  return writable;
}

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

// Every file of the download list (the updater's own copy included) still
// has its staged copy: one removed since its download (a virus scanner, a
// cleaning tool) would otherwise leave its old file installed while the
// update reports success and removes the staging folder.
bool AllStaged(files::FileSystem& fs, const std::string& stagingFolder,
               const std::vector<FileEntry>& downloadList) {
  for (const FileEntry& entry : downloadList) {
    if (IsPlaceableName(entry.Name) && !fs.Exists(stagingFolder + entry.Name)) return false;
  }
  return true;
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

ApplyResult ApplyStagedFiles(files::FileSystem& fs, const ApplyInput& input) {
  static const std::vector<FileEntry> kNoFiles;
  const std::vector<FileEntry>& serverFiles = input.serverFiles ? *input.serverFiles : kNoFiles;
  const std::vector<FileEntry>& downloadList = input.downloadList ? *input.downloadList : kNoFiles;
  const std::string stagingFolder = input.programFolder + kStagingFolderName;

  if (!AllWritable(fs, input, serverFiles)) return {ApplyOutcome::kUnwritable, false};
  if (!AllStaged(fs, stagingFolder, downloadList)) return {ApplyOutcome::kStagedMissing, false};
  if (input.requireSha256 && !AllStagedMatch(fs, stagingFolder, downloadList)) {
    return {ApplyOutcome::kVerifyFailed, false};
  }

  // Only what this run verified is placed: a staged file left by an earlier
  // run may belong to another release. After a crash the next run's
  // difference step lists exactly the targets still old, and finds their
  // staged copies verified.
  for (const FileEntry* entry : PlacementOrder(input, downloadList)) {
    const std::string staged = stagingFolder + entry->Name;
    const std::string target = input.programFolder + entry->Name;
    // The rename reaches the disk at once; the data must be there before it,
    // or a power cut could leave the target named new but full of zeros.
    if (!fs.Flush(staged) || !fs.MakeFolders(FolderOfEntry(input.programFolder, entry->Name)) ||
        !fs.MoveOnto(staged, target)) {
      return {ApplyOutcome::kPlaceFailed, false};
    }
  }

  bool selfUpdatePending = false;
  for (const FileEntry& entry : downloadList) {
    if (IsOwnExecutable(entry.Name, input.ownExeName) && fs.Exists(stagingFolder + entry.Name)) {
      selfUpdatePending = true;
    }
  }
  return {ApplyOutcome::kApplied, selfUpdatePending};
}

}  // namespace engine
