#pragma once
// The compressed forms of a release's files on the site, written into the
// staged version folder beside the plain files (engine/file_objects.h names
// them): a packed object where it saves enough to be worth a request, and
// deltas against the same file (or, for a new name, the most similar file
// gone since) in each of the last few versions on the site, each kept only
// when smaller than what it would be fetched instead of.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "site/file_list.h"
#include "updpub/host/memory.h"
#include "updpub/publish/release_tree.h"
#include "updpub/publish/site_files.h"

namespace updpub {

inline constexpr int kDefaultDeltaVersions = 3;
inline constexpr int kMaxDeltaVersions = 8;  // engine::kMaxDeltas
// An object replaces a plain file only when it saves at least this many
// bytes and this share of the file: a smaller saving is lost to the extra
// request and the decoding.
inline constexpr uint64_t kMinSavedBytes = 1024;
inline constexpr uint64_t kMinSavedPercent = 5;

struct PackSettings {
  int deltaVersions = kDefaultDeltaVersions;
  int level = 0;
  fs::path site;             // where the older versions lie
  std::string latest;        // the Version of the configuration being replaced
  std::string publishing;    // the version being published, never a base
  bool utf8Urls = true;
  bool showProgress = false;
  // Code deltas for executables, beside each delta they beat.
  bool codeDeltas = true;
  // What the files packed side by side may hold; zero: from the machine.
  MemoryBudget memory;
};

struct PackTotals {
  size_t packed = 0;
  size_t deltas = 0;
  size_t codeDeltas = 0;
  uint64_t bytes = 0;  // of all objects written
};

struct PackResult {
  bool ok = false;
  std::string file;   // UTF-8, the file that failed
  std::string error;
  PackTotals totals;
  // One line per form that could not be made for a file and was left out
  // (UTF-8, in the release's order): the site does without it.
  std::vector<std::string> leftOut;
};

// Whether an object of `object` bytes is worth fetching instead of `plain`.
bool WorthARequest(uint64_t plain, uint64_t object);

// Packs every file of `release` (entries[i] belongs to release.files[i] and
// holds its CRC) into `staged`, and fills each entry's Size, PackedSize and
// Deltas and CodeDeltas (smallest first). Fails only where the plain file
// cannot be read or an object cannot be written; a form the encoders cannot
// make is left out and said in leftOut.
PackResult PackRelease(SiteFiles& files, const ReleaseTree& release, const fs::path& staged,
                       const PackSettings& settings, std::vector<engine::FileEntry>& entries, std::FILE* progressOut);

}  // namespace updpub
