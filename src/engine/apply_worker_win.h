#pragma once
// The placing of the staged files on a worker thread: flushing and renaming
// thousands of files, and waiting for files a scanner holds, takes longer
// than Windows lets a window go unanswered.
#include <windows.h>

#include <string>

#include "install/apply_staged.h"

namespace engine {

// What the worker reports when the pass has ended.
struct ApplyReport {
  ApplyResult result;
  // The program holding result.heldPath, as the Restart Manager names it;
  // "" when there was no hold or the system cannot say.
  std::string holder;
};

// Starts the pass over input (copied; the lists the input points to are
// copied with it); it ends with NotifyApplyComplete. False when the worker
// could not start.
bool StartApplyRun(HWND window, const ApplyInput& input);

}  // namespace engine
