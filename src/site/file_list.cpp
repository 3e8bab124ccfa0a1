#include "site/file_list.h"

#include <cstdint>
#include <optional>
#include <string>

#include "base/byte_text.h"
#include "files/path_text.h"
#include "site/file_objects.h"
#include "xml/xml_document.h"

namespace engine {
namespace {

constexpr char kFilesPath[] = "Files";
constexpr char kFileByPositionPath[] = "Files/@";
constexpr char kNameAttribute[] = "Name";
constexpr char kHashAttribute[] = "Hash";
constexpr char kSha256Attribute[] = "Sha256";
constexpr std::string_view kIdeographicSpace = "\xA1\xA1";

size_t CharacterLength(std::string_view text, size_t at) {
  const bool lead = base::IsLeadByte(static_cast<unsigned char>(text[at]), base::kDocumentFirstLeadByte);
  return lead && at + 1 < text.size() ? 2 : 1;
}

bool IsBlank(std::string_view character) { return character == " " || character == kIdeographicSpace; }

}  // namespace

std::string TrimListText(std::string_view body) {
  body = body.substr(0, body.find('\0'));
  // Characters are found from the start, because only there is it known
  // where one begins: "B0 A1 A1" ends in the character B0 A1 and a lone A1,
  // not in an ideographic space.
  size_t keepBegin = std::string_view::npos;
  size_t keepEnd = 0;
  for (size_t at = 0; at < body.size();) {
    const size_t length = CharacterLength(body, at);
    if (!IsBlank(body.substr(at, length))) {
      if (keepBegin == std::string_view::npos) keepBegin = at;
      keepEnd = at + length;
    }
    at += length;
  }
  if (keepBegin == std::string_view::npos) return {};
  return std::string(body.substr(keepBegin, keepEnd - keepBegin));
}

std::vector<FileEntry> ReadServerFileList(const xml::XmlDocument& document, SkippedNames* skipped) {
  int count = 0;
  document.ChildCount(kFilesPath, count);
  std::vector<FileEntry> entries;
  for (int i = 1; i <= count; ++i) {
    const std::string path = kFileByPositionPath + std::to_string(i);
    FileEntry entry;
    entry.Name = document.GetAttribute(path, kNameAttribute);
    entry.Hash = document.GetAttribute(path, kHashAttribute);
    if (entry.Name.empty() || entry.Hash.empty()) continue;
    entry.Sha256 = document.GetAttribute(path, kSha256Attribute);
    if (!files::IsSafeRelativeName(entry.Name)) {
      if (skipped) skipped->leavingFolder.push_back(std::move(entry.Name));
      continue;
    }
    if (IsInStagingFolder(entry.Name)) {
      if (skipped) skipped->inStagingFolder.push_back(std::move(entry.Name));
      continue;
    }
    ReadFileObjects(document, path, entry);
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace engine
