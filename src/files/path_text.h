#pragma once
// Path texts of the installation: GBK byte strings with "\" separators.
#include <string>
#include <string_view>
#include <vector>

namespace files {

// The folder part of a path, up to and including its last backslash; one
// trailing backslash is dropped first, so a folder path gives its parent.
// "" when no backslash remains. Bytes are compared plainly.
std::string FolderOf(std::string_view path);

// The positions of the separators in a path; the trail byte of a two-byte
// character may be 0x5C and is no separator.
std::vector<size_t> SeparatorPositions(std::string_view path);

// The text with a backslash appended unless it is empty or already ends in one.
std::string WithBackslash(std::string_view text);

// Whether the parent process's executable lies in programFolder (which ends in
// a backslash). ASCII letter case does not matter; two-byte characters must
// match exactly.
bool SameFolder(std::string_view programFolder, std::string_view parentPath);

// Whether a name from the server stays inside the folder it is appended to:
// not empty, no ":" anywhere (drive letters, streams), not starting with "\"
// or "/", and no ".." segment between either separator. The second byte of a
// two-byte character is never taken for a separator.
bool IsSafeRelativeName(std::string_view name);

}  // namespace files
