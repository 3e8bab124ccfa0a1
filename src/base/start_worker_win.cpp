#include "base/start_worker_win.h"

namespace base {

bool StartWorker(WorkerFunction function, LPVOID argument, UniqueKernelHandle* keptHandle) {
  UniqueKernelHandle thread(CreateThread(nullptr, 0, function, argument, 0, nullptr));
  if (!thread) return false;
  if (keptHandle) *keptHandle = std::move(thread);
  return true;
}

}  // namespace base
