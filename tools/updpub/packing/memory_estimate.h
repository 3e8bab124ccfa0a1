#pragma once
// What making one form of a file holds at its peak: the file, its base, the
// object as it grows (at worst as large as the file) and the encoders'
// tables. Publishing runs files side by side only while these fit its
// budget, and leaves out a form that alone would not.
#include <cstdint>

namespace updpub {

uint64_t PackedMemory(uint64_t file, int level);
uint64_t DeltaMemory(uint64_t file, uint64_t base, int level);
// The masked copies and the block index while matching, then the prediction
// beside the residual's encoder.
uint64_t CodeDeltaMemory(uint64_t file, uint64_t base, int level);

}  // namespace updpub
