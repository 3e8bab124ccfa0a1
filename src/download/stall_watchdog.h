#pragma once
// The watchdog's decision: stop a download worker that has received nothing
// for the stall limit.
#include <cstdint>
#include <functional>

#include "base/clock.h"

namespace engine {

using base::Clock;
struct DownloadControl;

inline constexpr uint32_t kWatchdogPollMs = 10;
inline constexpr uint32_t kStallLimitMs = 30000;

// The download worker as the watchdog sees it.
class WatchedWorker {
 public:
  virtual ~WatchedWorker() = default;
  virtual bool Running() = 0;
  // Asks the worker to stop and breaks any blocking call it is in.
  virtual void RequestStop() = 0;
  // Waits until the worker has ended, or has at least seen the request and
  // can report nothing more.
  virtual void WaitUntilEnded() = 0;
};

// Stores the current tick as the last activity, then polls. When the worker
// ends by itself, or has claimed the end of the run when the stall limit
// passes, returns false having reported nothing. When the stall limit passes
// first and the watchdog claims the end, stops the worker, waits for it to
// end and only then calls reportTimeOut, so nothing of the stopped run
// follows the report; returns true.
bool WatchForStall(DownloadControl& control, Clock& clock, WatchedWorker& worker,
                   const std::function<void()>& reportTimeOut);

}  // namespace engine
