#pragma once
// The one place where GBK byte texts meet other encodings. On Windows this is
// code page 936 through the system's conversion functions, so the program
// behaves the same whatever the system's own code page is; on the host it is
// iconv.
#include <string>
#include <string_view>

namespace base {

// Invalid or unmappable input gives "" rather than a half-converted text.
std::string Utf8FromGbk(std::string_view gbk);
std::string GbkFromUtf8(std::string_view utf8);

// Whether a UTF-8 text comes back unchanged from GBK: false where a character
// has no GBK form (ç, ö, ñ, Hangul) and would turn into another, or into "?".
bool HoldsInGbk(std::string_view utf8);

}  // namespace base
