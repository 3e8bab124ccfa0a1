#pragma once
// Which form of a file an attempt asks for: the compressed forms down the
// list's order, each once in a run, then the plain file; a compressed form
// only once the files it is decoded in are mapped (download/decode_space.h),
// and a delta only while its base is still the file it was made against.
#include <cstddef>
#include <string>
#include <vector>

#include "download/object_choice.h"
#include "download/run_state.h"

namespace engine {

// The forms to try for file, the plain file last. The file's own installed
// signature comes from the difference step; only a renamed base, which the
// list no longer names, is read here.
std::vector<ObjectToTry> FormsFor(RunState& run, const FileEntry& file);

// The form this attempt takes, moving `next` past it: the next compressed
// form whose files could be mapped and whose base is of use (one that is
// not is passed over, with a trace, without a request), or the plain file,
// once the forms are used up and always in the plain file's own last
// attempts. A compressed form's mappings stay in run.space until
// run.ReleaseSpace().
const ObjectToTry& TakeForm(RunState& run, const FileEntry& file, const std::vector<ObjectToTry>& forms,
                            size_t& next, int attempt);

// The form's address, encoded as it is fetched.
std::string FormUrl(const RunState& run, const ObjectToTry& form);

}  // namespace engine
