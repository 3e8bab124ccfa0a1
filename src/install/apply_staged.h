#pragma once
// Putting the staged files of a finished download in place.
#include <cstdint>
#include <string>
#include <vector>

#include "base/clock.h"
#include "site/file_list.h"

namespace files {
class FileSystem;
}

namespace engine {

using base::Clock;

// How long a file another process holds (a virus scanner, the search
// indexer, a thumbnailer) is waited for before the pass gives up: for the
// writability test as a whole, and for each flush and move.
inline constexpr uint32_t kHoldWaitMs = 30000;
// The pauses between tries grow from the first to the longest.
inline constexpr uint32_t kFirstHoldPauseMs = 50;
inline constexpr uint32_t kLongestHoldPauseMs = 1000;

// Where the installed files replaced by the pass wait, inside the staging
// folder, under a first folder no listed name can take.
inline constexpr char kReplacedFolderName[] = "update\\replaced\\";

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
  kPlaceFailed,  // a staged file could not be put in place, or an old file kept aside could
                 // not return; what was placed went back
  kVerifyFailed, // a staged file no longer matches the signed list; nothing was touched
  kApplied,
};

struct ApplyResult {
  ApplyOutcome outcome = ApplyOutcome::kUnwritable;
  // A verified new copy of the updater waits in the staging folder; only with
  // kApplied, since its replacement script removes the staging folder.
  bool selfUpdatePending = false;
  // On failure: the listed name of the file that could not be replaced, and
  // the path another process held when a hold was the cause ("" otherwise).
  std::string failedName;
  std::string heldPath;
  // The installed files a failed pass could not return (each held through
  // the whole wait while it was being returned, or refused): the listed
  // name, absent or new, and where its old copy is kept. The copy stays
  // there, and the next pass returns it before anything else.
  struct KeptFile {
    std::string name;
    std::string keptAt;
  };
  std::vector<KeptFile> unreturned;
};

// Writability test over every listed file but the updater itself; every file
// of the download list must still have its staged copy; then, the main
// program's executable last, each staged file's data is flushed, the
// installed file is kept under a second name in the staging folder (moved
// aside where that cannot be) and the staged file takes its place with its
// access rules. A file another process holds is
// tried again with growing pauses for up to kHoldWaitMs. When a step fails
// for good, every file placed so far goes back into the staging folder and
// every installed file returns, so the program is the old release again and
// the next try finds its staged files. A crash leaves every target old or
// new (or, where it had to be moved aside or was being returned, absent with
// its old copy kept aside), and the rest staged for the next run. Each pass
// first returns every old copy kept aside whose installed name is absent,
// and removes the rest only then.
ApplyResult ApplyStagedFiles(files::FileSystem& fs, Clock& clock, const ApplyInput& input);

// The trace line before a staged file replaces its target, followed by the
// target's path: a test can stop the process between two of them.
inline constexpr char kPlacingTrace[] = "放置文件:";

// The trace line before each move that returns a file, followed by the path
// moved onto: in the undo of a failed pass, and where a pass begins by
// returning old copies kept aside.
inline constexpr char kReturningTrace[] = "退回文件:";

// The own-executable test: Name equals the updater's file name, ASCII letter
// case aside; a Name with a folder part never does.
bool IsOwnExecutable(const std::string& name, const std::string& ownExeName);

}  // namespace engine
