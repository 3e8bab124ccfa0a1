#pragma once
// A place where a thread sleeps until another announces a change. Under Wine
// a wake-up through std::condition_variable of MinGW costs a round trip to
// the Wine server, several times what the system's own condition variable
// (and a futex natively) costs, so each platform brings its own.
#include <functional>

#ifndef _WIN32
#include <condition_variable>
#include <mutex>
#endif

namespace files {

class WaitPoint {
 public:
  WaitPoint() = default;
  WaitPoint(const WaitPoint&) = delete;
  WaitPoint& operator=(const WaitPoint&) = delete;

  // Returns once `ready()` holds; tests it under the lock before each sleep.
  void Wait(const std::function<bool()>& ready);

  // Wakes every sleeper after a change made before the call.
  void Notify();

 private:
#ifdef _WIN32
  void* lock_ = nullptr;       // an SRWLOCK, initially zero
  void* condition_ = nullptr;  // a CONDITION_VARIABLE, initially zero
#else
  std::mutex mutex_;
  std::condition_variable condition_;
#endif
};

}  // namespace files
