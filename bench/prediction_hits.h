#pragma once
// How much of a new file's references a code delta's prediction gets
// exactly right, and where it misses: read back from the object the encoder
// made (its map, the prediction rebuilt as the updater builds it), beside
// the new file. Bench-only: the updater never counts.
#include <string_view>

namespace bench {

// Prints, indented, the exact fractions per section kind and reference form
// and the misses by cause; nothing when the object's map cannot be read.
void PrintPredictionHits(std::string_view base, std::string_view plain, std::string_view object);

}  // namespace bench
