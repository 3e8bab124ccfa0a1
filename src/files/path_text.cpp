#include "files/path_text.h"

#include "base/byte_text.h"

namespace files {

std::string FolderOf(std::string_view path) {
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  const size_t last = path.rfind('\\');
  if (last == std::string_view::npos) return {};
  return std::string(path.substr(0, last + 1));
}

std::vector<size_t> SeparatorPositions(std::string_view path) {
  std::vector<size_t> separators;
  for (size_t at = 0; at < path.size(); ++at) {
    const auto byte = static_cast<unsigned char>(path[at]);
    if (at + 1 < path.size() && base::IsGbkPair(byte, static_cast<unsigned char>(path[at + 1]))) {
      ++at;
    } else if (path[at] == '\\') {
      separators.push_back(at);
    }
  }
  return separators;
}

std::string WithBackslash(std::string_view text) {
  std::string result(text);
  if (!result.empty() && result.back() != '\\') result.push_back('\\');
  return result;
}

bool SameFolder(std::string_view programFolder, std::string_view parentPath) {
  // The parent path comes from the system and the folder from our own module
  // name; either may spell the drive or a folder in another letter case.
  const auto lead = base::kCommandLineFirstLeadByte;
  return base::AsciiLower(programFolder, lead) ==
         base::AsciiLower(WithBackslash(FolderOf(parentPath)), lead);
}

}  // namespace files
