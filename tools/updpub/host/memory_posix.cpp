#include <unistd.h>

#include <cstdint>

#include "updpub/host/memory.h"

namespace updpub {

uint64_t PhysicalMemoryBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageBytes = sysconf(_SC_PAGESIZE);
  return pages > 0 && pageBytes > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageBytes) : 0;
}

uint64_t AddressSpaceBytes() { return sizeof(void*) >= 8 ? 0 : uint64_t{1} << 31; }

}  // namespace updpub
