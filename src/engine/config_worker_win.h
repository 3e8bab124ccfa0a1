#pragma once
#include <windows.h>

namespace engine {

// Fetches the configuration document from the session's address, fills the
// session's configuration and reports with one GetConfig message to the
// window passed as the argument.
DWORD WINAPI ConfigWorker(LPVOID mainWindow);

}  // namespace engine
