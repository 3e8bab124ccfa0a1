#pragma once
#include <windows.h>

#include "base/unique_handle_win.h"

namespace base {

using WorkerFunction = DWORD(WINAPI*)(LPVOID);

// Starts a thread at once with the default stack size. The handle is closed
// unless the caller asks for it through keptHandle.
bool StartWorker(WorkerFunction function, LPVOID argument, UniqueKernelHandle* keptHandle = nullptr);

}  // namespace base
