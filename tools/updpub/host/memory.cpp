#include "updpub/host/memory.h"

#include <algorithm>

namespace updpub {
namespace {

// Where the machine does not say: what a small one has.
constexpr uint64_t kAssumedPhysical = uint64_t{4} << 30;

uint64_t Quarters(uint64_t bytes, uint64_t quarters) { return bytes / 4 * quarters; }

}  // namespace

MemoryBudget PackingBudget(uint64_t physical, uint64_t addressSpace) {
  if (physical == 0) physical = kAssumedPhysical;
  const uint64_t room = addressSpace == 0 ? UINT64_MAX : Quarters(addressSpace, 3);
  MemoryBudget budget;
  budget.shared = std::min(physical / 2, room);
  budget.most = std::min(Quarters(physical, 3), room);
  return budget;
}

}  // namespace updpub
