#pragma once
// Putting the staged files of a finished download in place.
#include <string>
#include <vector>

#include "engine/file_list.h"

namespace files {
class FileSystem;
}

namespace engine {

struct ApplyInput {
  std::string programFolder;  // ends in "\"
  std::string ownExeName;     // the running updater's file name
  std::string mainExe;        // the configured main program, placed last
  const std::vector<FileEntry>* serverFiles = nullptr;   // writability test
  const std::vector<FileEntry>* downloadList = nullptr;  // what this run staged and verified
  // A signed list: every staged file is hashed again before the first one moves.
  bool requireSha256 = false;
};

enum class ApplyOutcome {
  kUnwritable,   // an installed file cannot be written; nothing was touched
  kStagedMissing,  // a file of the download list has no staged copy; nothing was touched
  kPlaceFailed,  // a staged file could not be put in place; the rest stays staged
  kVerifyFailed, // a staged file no longer matches the signed list; nothing was touched
  kApplied,
};

struct ApplyResult {
  ApplyOutcome outcome = ApplyOutcome::kUnwritable;
  // A verified new copy of the updater waits in the staging folder; only with
  // kApplied, since its replacement script removes the staging folder.
  bool selfUpdatePending = false;
};

// Writability test over every listed file but the updater itself; every file
// of the download list must still have its staged copy; then each staged
// file's data is flushed and it replaces its target in one step, the main
// program's executable last. A crash at any point leaves every target whole,
// old or new, with the rest still staged for the next run.
ApplyResult ApplyStagedFiles(files::FileSystem& fs, const ApplyInput& input);

// The own-executable test: Name equals the updater's file name, ASCII letter
// case aside; a Name with a folder part never does.
bool IsOwnExecutable(const std::string& name, const std::string& ownExeName);

}  // namespace engine
