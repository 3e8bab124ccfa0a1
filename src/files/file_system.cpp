#include "files/file_system.h"

#include <string_view>
#include <vector>

#include "base/byte_text.h"
#include "files/path_text.h"

namespace files {
namespace {

bool IsUncMarker(std::string_view component) {
  return base::AsciiLower(component, base::kDocumentFirstLeadByte) == "unc";
}

// How many leading components of the path name something no walk can
// create: "C:"; the empty one before a leading "\"; "", "", server and share
// of "\\server\share"; and after "\\?\" or "\\.\" the drive or volume, or
// "UNC", server and share.
size_t FixedComponents(const std::vector<std::string_view>& components) {
  const size_t count = components.size();
  if (count >= 2 && components[0].empty() && components[1].empty()) {
    if (count >= 3 && (components[2] == "?" || components[2] == ".")) {
      return count >= 4 && IsUncMarker(components[3]) ? 6 : 4;
    }
    return 4;
  }
  if (count >= 1 && components[0].empty()) return 1;
  if (count >= 1 && components[0].size() == 2 && components[0][1] == ':') return 1;
  return 0;
}

}  // namespace

bool FileSystem::MakeFolders(const std::string& folder) {
  const std::vector<size_t> separators = SeparatorPositions(folder);
  std::vector<std::string_view> components;
  size_t begin = 0;
  for (const size_t separator : separators) {
    components.push_back(std::string_view(folder).substr(begin, separator - begin));
    begin = separator + 1;
  }
  for (size_t i = FixedComponents(components); i < components.size(); ++i) {
    if (components[i].empty()) continue;  // a doubled separator
    const std::string part = folder.substr(0, separators[i]);
    if (Exists(part)) continue;
    if (!CreateFolder(part) && !Exists(part)) return false;
  }
  return true;
}

// A whole file is its one region.
std::unique_ptr<MappedFile> FileSystem::MapForReading(const std::string& path) {
  const std::unique_ptr<MappableFile> file = OpenMappable(path);
  return file ? file->MapRegion(0, file->Size()) : nullptr;
}

std::unique_ptr<MappedFile> FileSystem::CreateMapped(const std::string& path, uint64_t size) {
  const std::unique_ptr<MappableFile> file = CreateMappable(path, size);
  return file ? file->MapRegion(0, size) : nullptr;
}

}  // namespace files
