#pragma once
// The file side of the end of an update, on the user-interface thread.
#include "engine/apply_staged.h"

namespace engine {

// What placing the session's staged files needs; the lists it points to
// belong to the session.
ApplyInput SessionApplyInput();
// Records the flags that the shutdown reads, once the pass has ended.
void RecordApplyResult(const ApplyResult& result);

// At the main window's destruction: starts the script that replaces the
// updater's own executable, or removes the staging folder after an applied
// update; after a failed run the staging folder stays for the next one.
void CleanUpStagingAtShutdown();

// Starts the configured main program from the program folder, unless its name
// would leave that folder.
void RunMainProgram();

}  // namespace engine
