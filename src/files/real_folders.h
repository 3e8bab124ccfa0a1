#pragma once
// Folders of the updater's own making, below one it already holds, as real
// folders: a junction or symbolic link found in place of one would carry the
// elevated updater's writes, moves and deletions wherever it points.
#include <functional>
#include <string>

#include "files/file_system.h"

namespace files {

// Every folder of folder (a text ending in "\") below base (a prefix of it,
// ending in "\"), from the top down, as a real folder: one missing is
// created, a link is removed as a link, never followed, and created anew as
// a folder. False when base itself is a link, when a link cannot be
// removed, when a folder cannot be made, or once stopped answers true (it is
// asked before every call into fs).
bool MakeRealFolders(FileSystem& fs, const std::string& base, const std::string& folder,
                     const std::function<bool()>& stopped = {});

}  // namespace files
