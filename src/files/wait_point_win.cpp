#include <windows.h>

#include "files/wait_point.h"

namespace files {
namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*),
              "the lock and the condition live in pointer-sized members");

SRWLOCK* Lock(void** member) { return reinterpret_cast<SRWLOCK*>(member); }
CONDITION_VARIABLE* Condition(void** member) {
  return reinterpret_cast<CONDITION_VARIABLE*>(member);
}

}  // namespace

void WaitPoint::Wait(const std::function<bool()>& ready) {
  AcquireSRWLockExclusive(Lock(&lock_));
  while (!ready()) SleepConditionVariableSRW(Condition(&condition_), Lock(&lock_), INFINITE, 0);
  ReleaseSRWLockExclusive(Lock(&lock_));
}

void WaitPoint::Notify() {
  // Taking the lock orders this after a sleeper's last test of its condition.
  AcquireSRWLockExclusive(Lock(&lock_));
  WakeAllConditionVariable(Condition(&condition_));
  ReleaseSRWLockExclusive(Lock(&lock_));
}

}  // namespace files
