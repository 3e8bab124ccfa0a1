#include "engine/file_list.h"

#include <cstdint>
#include <optional>
#include <string>

#include "base/byte_text.h"
#include "engine/file_objects.h"
#include "files/path_text.h"
#include "xml/xml_document.h"

namespace engine {
namespace {

constexpr char kFilesPath[] = "Files";
constexpr char kFileByPositionPath[] = "Files/@";
constexpr char kNameAttribute[] = "Name";
constexpr char kHashAttribute[] = "Hash";
constexpr char kSha256Attribute[] = "Sha256";
constexpr std::string_view kIdeographicSpace = "\xA1\xA1";
constexpr size_t kMaxHashDigits = 8;
constexpr std::string_view kStagingSegment = "update";  // kStagingFolderName without its "\\"

size_t CharacterLength(std::string_view text, size_t at) {
  const bool lead = base::IsLeadByte(static_cast<unsigned char>(text[at]), base::kDocumentFirstLeadByte);
  return lead && at + 1 < text.size() ? 2 : 1;
}

bool IsBlank(std::string_view character) { return character == " " || character == kIdeographicSpace; }

std::optional<uint32_t> HexValue(std::string_view text) {
  if (text.empty() || text.size() > kMaxHashDigits) return std::nullopt;
  uint32_t value = 0;
  for (const char digit : text) {
    uint32_t nibble = 0;
    if (digit >= '0' && digit <= '9') {
      nibble = digit - '0';
    } else if (digit >= 'a' && digit <= 'f') {
      nibble = digit - 'a' + 10;
    } else if (digit >= 'A' && digit <= 'F') {
      nibble = digit - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value << 4 | nibble;
  }
  return value;
}

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

bool SignatureMatches(std::string_view signature, std::string_view hash) {
  // The signature is read by the same rule, so "0" (unreadable) matches a
  // Hash of zero and "" (nothing there) matches nothing.
  const std::optional<uint32_t> local = HexValue(signature);
  return local && local == HexValue(hash);
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
