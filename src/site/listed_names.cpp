#include "site/listed_names.h"

#include "base/byte_text.h"
#include "files/path_text.h"

namespace engine {
namespace {

constexpr std::string_view kStagingSegment = "update";  // kStagingFolderName without its "\\"

size_t CharacterLength(std::string_view text, size_t at) {
  const bool lead = base::IsLeadByte(static_cast<unsigned char>(text[at]), base::kDocumentFirstLeadByte);
  return lead && at + 1 < text.size() ? 2 : 1;
}

}  // namespace

bool IsInStagingFolder(std::string_view name) {
  // The first byte begins a character and "\\" and "/" are ASCII, so the
  // first separator found after ASCII letters is a real one.
  std::string_view first = name.substr(0, name.find_first_of("\\/"));
  while (!first.empty() && (first.back() == '.' || first.back() == ' ')) first.remove_suffix(1);
  return base::AsciiLower(first, base::kDocumentFirstLeadByte) == kStagingSegment;
}

bool IsPlaceableName(std::string_view name) {
  return files::IsSafeRelativeName(name) && !IsInStagingFolder(name);
}

std::string FolderOfEntry(const std::string& base, const std::string& name) {
  std::string folder = base;
  size_t segmentStart = 0;
  for (size_t at = 0; at < name.size(); at += CharacterLength(name, at)) {
    if (name[at] == '\\' || name[at] == '/') {
      folder.append(name, segmentStart, at - segmentStart);
      folder += '\\';
      segmentStart = at + 1;
    }
  }
  return folder;
}

}  // namespace engine
