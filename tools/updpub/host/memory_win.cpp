#include <windows.h>

#include "updpub/host/memory.h"

namespace updpub {
namespace {

bool Status(MEMORYSTATUSEX& status) {
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) != FALSE;
}

}  // namespace

uint64_t PhysicalMemoryBytes() {
  MEMORYSTATUSEX status;
  return Status(status) ? status.ullTotalPhys : 0;
}

// 2 GiB for a 32-bit process, 4 GiB when it is large-address-aware on
// 64-bit Windows, as the system counts it.
uint64_t AddressSpaceBytes() {
  MEMORYSTATUSEX status;
  if (Status(status)) return status.ullTotalVirtual;
  return sizeof(void*) >= 8 ? 0 : uint64_t{1} << 31;
}

}  // namespace updpub
