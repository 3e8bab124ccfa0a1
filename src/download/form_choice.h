#pragma once
// Which form of a file an attempt asks for: the compressed forms down the
// list's order, each once in a run, then the plain file; a delta only while
// its base, read into memory, is still the file it was made against.
#include <cstddef>
#include <vector>

#include "download/object_choice.h"
#include "download/run_state.h"

namespace engine {

// The forms to try for file, the plain file last. The file's own installed
// signature comes from the difference step; only a renamed base, which the
// list no longer names, is read here.
std::vector<ObjectToTry> FormsFor(RunState& run, const FileEntry& file);

// The form this attempt takes, moving `next` past it: the next compressed
// form whose base is of use (one that is not is passed over, with a trace,
// without a request), or the plain file, once the forms are used up and
// always in the plain file's own last attempts.
const ObjectToTry& TakeForm(RunState& run, const std::vector<ObjectToTry>& forms, size_t& next, int attempt);

}  // namespace engine
