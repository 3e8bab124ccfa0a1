#pragma once
#include <windows.h>

#include <vector>

#include "site/file_list.h"

namespace engine {

// Starts a download run of files for the window: the download worker and,
// right after it, its stall watchdog. False when the worker could not start.
bool StartDownloadRun(HWND window, std::vector<FileEntry> files);

}  // namespace engine
