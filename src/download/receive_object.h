#pragma once
// Receiving one object into its partial file (download/partial_download.h):
// continued from the kept bytes where the server vouches for them, else from
// byte 0, never past the size the list gives.
#include <string>

#include "download/object_choice.h"
#include "download/partial_download.h"
#include "download/run_state.h"

namespace engine {

// Brings the object's partial file to its whole length. kFetched once it is
// whole; kFailed when the answer is refused, breaks off or is not the listed
// object (whose bytes then go: nothing of it is worth continuing).
Outcome ReceiveObject(RunState& run, int index, const FileEntry& file, const ObjectToTry& object,
                      const std::string& url, const PartialPaths& partial);

}  // namespace engine
