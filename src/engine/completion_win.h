#pragma once
// The file side of the end of an update, on the user-interface thread.
#include <vector>

#include "engine/apply_staged.h"
#include "engine/file_list.h"

namespace engine {

// The trace line before a staged file replaces its target, followed by the
// target's path.
inline constexpr char kPlacingTrace[] = "放置文件:";

// Applies the session's staged files in the program folder and records the
// flags that the shutdown reads.
ApplyResult ApplyStagedFilesOfSession();

// Takes the updater's own executable out of a download list once its new
// copy waits staged for the replacement script: until this process ends the
// running file still differs from the list, and fetching it again would only
// start another run that places nothing.
void LeaveOutPendingSelfUpdate(std::vector<FileEntry>& downloadList);

// At the main window's destruction: starts the script that replaces the
// updater's own executable, or removes the staging folder after an applied
// update; after a failed run the staging folder stays for the next one.
void CleanUpStagingAtShutdown();

// Starts the configured main program from the program folder, unless its name
// would leave that folder.
void RunMainProgram();

}  // namespace engine
