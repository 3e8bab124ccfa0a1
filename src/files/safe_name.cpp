#include <string_view>

#include "base/byte_text.h"
#include "files/path_text.h"

namespace files {
namespace {

// A lead byte without a valid trail stands alone, as the system's conversion
// reads it. Cutting the name into more segments than the system does could
// only reveal more ".." segments, never hide one, so doubtful bytes are cut.
size_t CharacterLength(std::string_view text, size_t at) {
  if (at + 1 >= text.size()) return 1;
  return base::IsGbkPair(static_cast<unsigned char>(text[at]), static_cast<unsigned char>(text[at + 1])) ? 2 : 1;
}

bool IsSeparator(char byte) { return byte == '\\' || byte == '/'; }

// Windows drops trailing dots and spaces from a path component, so a
// component of dots and spaces with two dots or more may end up as "..", or
// as nothing, depending on the function that reads it. No release needs such
// a name, so all of them are refused.
bool MayNameParent(std::string_view segment) {
  size_t dots = 0;
  for (const char byte : segment) {
    if (byte == '.') {
      ++dots;
    } else if (byte != ' ') {
      return false;
    }
  }
  return dots >= 2;
}

}  // namespace

bool IsSafeRelativeName(std::string_view name) {
  // ":" (0x3A) is never a trail byte, so a plain byte search finds exactly
  // the colons; the first byte always begins a character.
  if (name.empty() || name.find(':') != std::string_view::npos || IsSeparator(name.front()))
    return false;
  size_t segmentStart = 0;
  for (size_t at = 0; at < name.size();) {
    const size_t length = CharacterLength(name, at);
    if (length == 1 && IsSeparator(name[at])) {
      if (MayNameParent(name.substr(segmentStart, at - segmentStart))) return false;
      segmentStart = at + 1;
    }
    at += length;
  }
  return !MayNameParent(name.substr(segmentStart));
}

}  // namespace files
