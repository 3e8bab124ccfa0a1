#pragma once
// The file side of the end of an update, on the user-interface thread.
#include <vector>

#include "install/apply_staged.h"
#include "site/file_list.h"

namespace engine {

// What placing the session's staged files needs; the lists it points to
// belong to the session.
ApplyInput SessionApplyInput();
// Records the flags that the shutdown reads, once the pass has ended.
void RecordApplyResult(const ApplyResult& result);

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
