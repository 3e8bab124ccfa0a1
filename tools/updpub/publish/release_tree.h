#pragma once
// The files of a release folder as they will be listed, fetched and
// installed, and every reason the updater could not take one of them.
#include <cstdint>
#include <string>
#include <vector>

#include "updpub/host/host_files.h"

namespace updpub {

// The updater stages downloads in this folder of the program folder; a
// release holding it would overwrite the staging area.
inline constexpr char kStagingFolder[] = "update";

struct ReleaseFile {
  fs::path source;
  std::vector<std::string> segments;  // the relative name's parts, UTF-8
  std::string listName;               // GBK, "\" between folders
  std::string shownName;              // UTF-8, "/" between folders
  uint64_t size = 0;
};

// A reason to refuse, naming the file (UTF-8) it concerns.
struct Refusal {
  std::string file;
  std::string reason;
};

struct ReleaseTree {
  std::vector<ReleaseFile> files;  // ordered by listName
  std::vector<Refusal> refusals;
  uint64_t totalBytes = 0;
};

// Walks root. Folder links are refused rather than followed; file links are
// taken as the files they point to.
ReleaseTree ScanRelease(const fs::path& root, bool utf8Urls);

}  // namespace updpub
