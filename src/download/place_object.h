#pragma once
// The received object becomes the staged file: a plain file by a rename once
// it matches, a compressed form by decoding it beside the partial file (into
// its mapping, made when the form was taken, else through the run's buffer)
// and renaming the result once it matches.
#include <string>

#include "download/object_choice.h"
#include "download/partial_download.h"
#include "download/run_state.h"

namespace engine {

// Either way the partial file goes: it is used up, or it yields the wrong
// file and must not be continued; and run.space is released. kNoMemory, without FileEnd, when the
// object could not be decoded in the memory there is.
Outcome PlaceObject(RunState& run, int index, const FileEntry& file, const ObjectToTry& object,
                    const PartialPaths& partial, const std::string& staging);

// With a signed list both hashes come from one reading of the file; an
// unsigned one is checked by its CRC alone.
bool StagedMatches(RunState& run, const std::string& path, const FileEntry& file);

}  // namespace engine
