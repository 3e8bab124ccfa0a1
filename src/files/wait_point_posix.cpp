#include "files/wait_point.h"

namespace files {

void WaitPoint::Wait(const std::function<bool()>& ready) {
  std::unique_lock<std::mutex> lock(mutex_);
  condition_.wait(lock, ready);
}

void WaitPoint::Notify() {
  // Taking the lock orders this after a sleeper's last test of its condition.
  std::lock_guard<std::mutex> lock(mutex_);
  condition_.notify_all();
}

}  // namespace files
