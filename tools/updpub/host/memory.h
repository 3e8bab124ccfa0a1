#pragma once
// How much memory publishing may hold at once, from what the machine has.
#include <cstdint>

namespace updpub {

struct MemoryBudget {
  uint64_t shared = 0;  // the sum of the jobs run side by side
  uint64_t most = 0;    // one job alone; a form that needs more is not made
};

// The machine's physical memory and this process's address space (0 when
// unknown; the latter all of 64 bits natively).
uint64_t PhysicalMemoryBytes();
uint64_t AddressSpaceBytes();

// Half of the physical memory shared, three quarters for one job alone,
// both within three quarters of the address space (the rest is the
// program, its threads and the heap's fragments).
MemoryBudget PackingBudget(uint64_t physical, uint64_t addressSpace);

}  // namespace updpub
