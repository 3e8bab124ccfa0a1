#pragma once
// The blocks of a new file that repeat an old file: windows of the old file
// at fixed steps are hashed, every window of the new file is looked up, and
// a hit is extended both ways. The block just found is tried first at the
// next position, so a run that goes on after a changed byte stays one run
// of blocks with the same distance. Deterministic; linear in the sizes.
#include <cstdint>
#include <string_view>
#include <vector>

#include "codecs/code_delta.h"

namespace updpub {

// Blocks shorter than this cost more in the map than they save.
inline constexpr uint32_t kShortestBlock = 64;

// Blocks (sorted by new offset, not overlapping) of at least kShortestBlock
// bytes where `newer` repeats `older`; both are at most 4 GiB. No block
// crosses a cut (sorted offsets; for executables, where sections begin and
// end): a block that ran from one section into the next would send the
// references to one of them into the other.
std::vector<files::CodeBlock> MatchBlocks(std::string_view older, std::string_view newer,
                                          const std::vector<uint32_t>& olderCuts = {},
                                          const std::vector<uint32_t>& newerCuts = {});

}  // namespace updpub
