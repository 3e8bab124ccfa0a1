#pragma once
// Which listed Names the updater stages and places, and where they go: the
// rules the file list, the download and the placing pass share.
#include <string>
#include <string_view>

namespace engine {

// Below the program folder; downloads wait here until they are put in place.
inline constexpr char kStagingFolderName[] = "update\\";

// Whether a Name lies in the staging folder (its first segment is "update" in
// any letter case, before either separator or at the end; Windows drops
// trailing dots and spaces from it). Such a file would be staged inside the
// staging folder, placed into it and deleted with it at exit: lost after
// every update.
bool IsInStagingFolder(std::string_view name);

// A Name the updater stages and places: inside the program folder and
// outside the staging folder.
bool IsPlaceableName(std::string_view name);

// The folder an entry's file lies in below base (ending in "\"), ending in
// "\". The second byte of a two-byte character is never a separator (a plain
// search would cut "誠" in half and make a stray folder); "/", which Windows
// also reads as one, is written "\".
std::string FolderOfEntry(const std::string& base, const std::string& name);

}  // namespace engine
