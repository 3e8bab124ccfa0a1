#pragma once

namespace shell {

// Stores the program folder and the parent's path in the session and traces
// whether the parent runs from the same folder. Reports only; changes nothing.
void DetermineOwnFolderAndParent();

}  // namespace shell
