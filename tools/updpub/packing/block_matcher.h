#pragma once
// The blocks of a new file that repeat an old file: windows of the old file
// at fixed steps are hashed, every window of the new file is looked up, and
// a hit is extended both ways. The block just found is tried first at the
// next position, so a run that goes on after a changed byte stays one run
// of blocks with the same distance. Deterministic; linear in the sizes.
#include <string_view>
#include <vector>

#include "files/code_delta.h"

namespace updpub {

// Blocks shorter than this cost more in the map than they save.
inline constexpr uint32_t kShortestBlock = 64;

// Blocks (sorted by new offset, not overlapping) of at least kShortestBlock
// bytes where `newer` repeats `older`; both are at most 4 GiB.
std::vector<files::CodeBlock> MatchBlocks(std::string_view older, std::string_view newer);

}  // namespace updpub
