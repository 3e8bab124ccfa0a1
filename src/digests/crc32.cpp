#include "digests/crc32.h"

#include <atomic>

#include "digests/crc32_kernels.h"

namespace files {
namespace {

namespace kernels = crc32_internal;

using Kernel = uint32_t (*)(uint32_t, const unsigned char*, size_t);

struct KernelChoice {
  Kernel kernel;
  const char* name;
};

constexpr KernelChoice kFallback = {&kernels::SlicingBy8, "slicing-by-8"};

// Below this the folding kernel's set-up costs more than it saves.
constexpr size_t kClmulMinimumSize = 64;

std::atomic<bool> forceFallback{false};

// The CPU is asked once; the answer cannot change while the process runs.
const KernelChoice& BestKernel() {
  static const KernelChoice best =
      kernels::WideClmulSupported() ? KernelChoice{&kernels::WideClmul, "vpclmul-avx2"}
      : kernels::ClmulSupported()   ? KernelChoice{&kernels::Clmul, "pclmul"}
                                    : kFallback;
  return best;
}

const KernelChoice& CurrentKernel() {
  return forceFallback.load(std::memory_order_relaxed) ? kFallback : BestKernel();
}

}  // namespace

uint32_t Crc32Update(uint32_t crc, const void* data, size_t size) {
  if (size == 0) return crc;
  const auto* bytes = static_cast<const unsigned char*>(data);
  const Kernel kernel =
      size >= kClmulMinimumSize ? CurrentKernel().kernel : kFallback.kernel;
  return ~kernel(~crc, bytes, size);
}

void Crc32ForceFallback(bool force) { forceFallback.store(force, std::memory_order_relaxed); }

const char* Crc32KernelName() { return CurrentKernel().name; }

}  // namespace files
