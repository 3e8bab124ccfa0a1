#pragma once
// The "\\?\" form of a path, in which Windows takes a path of any length
// (up to 32,767 characters) as it stands instead of cutting it at MAX_PATH.
#include <string>
#include <string_view>

namespace files {

// A full drive path ("C:\a\b") becomes "\\?\C:\a\b" and a network path
// ("\\server\share\a") "\\?\UNC\server\share\a", with "/" turned into "\",
// doubled separators and "." segments dropped, as the system itself would.
// Everything else comes back unchanged: a path already in a "\\?\" or "\\.\"
// form, a relative or drive-relative path, a network path without a share,
// and a path whose reading the system would change in ways the "\\?\" form
// does not (a ".." segment, a name ending in "." or " ").
std::wstring LongPathForm(std::wstring_view path);

}  // namespace files
