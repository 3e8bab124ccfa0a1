#pragma once
#include <windows.h>

namespace engine {

// Fetches the chosen server's file list into the session's document and
// reports with one GetInfo message to the window passed as the argument.
DWORD WINAPI FileListWorker(LPVOID mainWindow);

}  // namespace engine
