#include "download/stall_watchdog.h"

#include "download/download_run.h"

namespace engine {

bool WatchForStall(DownloadControl& control, Clock& clock, WatchedWorker& worker,
                   const std::function<void()>& reportTimeOut) {
  control.lastActivityTick = clock.Now();
  for (;;) {
    clock.Sleep(kWatchdogPollMs);
    if (!worker.Running()) return false;
    // The activity is read before the clock: the worker stores ticks it read
    // itself, so one stored after our reading of the clock would be newer
    // than it and the difference would wrap to a huge value.
    const uint32_t lastActivity = control.lastActivityTick.load();
    const uint32_t quiet = clock.Now() - lastActivity;  // unsigned: right across the wrap
    if (quiet >= kStallLimitMs) break;
  }
  // The worker may have ended the run at this very poll, or be reporting its
  // end to a window that takes longer than the limit to handle it.
  if (!control.ClaimEnd(RunEnd::kTimedOut)) return false;
  worker.RequestStop();
  // Reported only once the worker has ended, so no message of the stopped
  // run can arrive after the time-out.
  worker.WaitUntilEnded();
  if (reportTimeOut) reportTimeOut();
  return true;
}

}  // namespace engine
