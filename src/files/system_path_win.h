#pragma once
// The one conversion of a GBK path text into the path handed to the W file
// functions of Windows.
#include <string>
#include <string_view>

namespace files {

// Code page 936 to UTF-16, then the "\\?\" form of a full path, so that an
// installation deeper than MAX_PATH, and its staging folder below it, can be
// read and written. The manifest's longPathAware covers the rest.
std::wstring SystemPath(std::string_view gbkPath);

}  // namespace files
