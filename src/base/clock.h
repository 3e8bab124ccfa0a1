#pragma once
// Time as the steps that wait see it: a port, so that a test drives
// "five attempts five seconds apart" with a fake clock in milliseconds.
#include <cstdint>

namespace base {

// Milliseconds of the 32-bit system tick, and a pause. A worker's Sleep
// returns early once a stop is requested.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint32_t Now() = 0;
  virtual void Sleep(uint32_t ms) = 0;
};

}  // namespace base
