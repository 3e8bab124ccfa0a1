#pragma once
// The server's file list: its text as fetched and its usable rows.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "site/listed_names.h"

namespace xml {
class XmlDocument;
}

namespace engine {

// A compressed form of a file encoded against an earlier file (the base).
struct DeltaObject {
  std::string BaseCrc;   // the base's CRC-32 as the list spells it (1 to 8 hexadecimal digits)
  uint64_t Size = 0;     // the object's bytes
  std::string BaseName;  // "" when the base is this file's own earlier version
};

struct FileEntry {
  std::string Name;  // relative to the program folder, "\" between folders
  std::string Hash;
  std::string Sha256 = {};  // signed lists only; "" where the list gives none
  int ListRow = 0;   // the operation-list row of its download, set by the window
  // The installed file's signature as the difference step read it; a delta
  // against it is chosen without reading the file again.
  std::string LocalSignature = {};
  // The compressed forms the list offers (see engine/file_objects.h); only
  // usable ones are kept, so the plain file always remains to fall back on.
  std::optional<uint64_t> Size = std::nullopt;  // the plain file's bytes
  uint64_t PackedSize = 0;                      // 0: no packed object
  std::vector<DeltaObject> Deltas = {};         // in list order
  std::vector<DeltaObject> CodeDeltas = {};     // the same, encoded as code deltas
  std::vector<DeltaObject> SegmentedDeltas = {};  // the same, a large file's in segments
};

// The body as list text: its bytes up to the first zero byte, with ASCII
// spaces and ideographic spaces (A1 A1) removed from both ends. Other white
// space stays.
std::string TrimListText(std::string_view body);

// Names that ReadServerFileList leaves out, each with the reason.
struct SkippedNames {
  std::vector<std::string> leavingFolder;   // not files::IsSafeRelativeName
  std::vector<std::string> inStagingFolder;  // IsInStagingFolder
};

// Every child of "Files" with a non-empty Name and Hash, in document order,
// with its usable compressed forms (engine::ReadFileObjects).
// A child whose Name would leave the program folder or lies in the staging
// folder is left out and its Name added to skipped, when given.
std::vector<FileEntry> ReadServerFileList(const xml::XmlDocument& document, SkippedNames* skipped = nullptr);

// The traces of a skipped Name.
inline constexpr char kLeavingFolderTrace[] = "文件名越出程序目录，已跳过:";
inline constexpr char kInStagingFolderTrace[] = "文件名位于更新目录，已跳过:";

}  // namespace engine
