#pragma once
#include <windows.h>

#include <vector>

#include "site/file_list.h"

namespace engine {

// Starts a download run of files for the window: the download worker and,
// right after it, its stall watchdog. False when the worker could not start.
bool StartDownloadRun(HWND window, std::vector<FileEntry> files);

// Waits until every download worker started so far has ended, for at most
// the requests' time-out and a little more: one the watchdog stopped may
// still be blocked in a read. The placing pass starts only after it.
void WaitForDownloadWorkers();

}  // namespace engine
