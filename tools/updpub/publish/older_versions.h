#pragma once
// The versions published earlier on a site, whose files serve as the bases
// of deltas: which ones, in which order, and where each listed file lies.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "updpub/host/host_files.h"

namespace updpub {

// Two dotted decimal versions in the updater's own order (engine/version_order.h:
// "1.2" equals "1.2.0"). Other names: numeric parts compare as numbers,
// others as text, a version that is a prefix of another is the older, and a
// name without a digit is older than any with one. <0, 0 or >0.
int CompareVersions(std::string_view a, std::string_view b);

// The names of the site's version folders that hold a file list, other than
// `publishing`, newest first: `latest` (the Version of the configuration
// being replaced) when it is among them, then the rest in descending
// CompareVersions order; at most `count`.
std::vector<std::string> OlderVersions(const fs::path& site, const std::string& latest,
                                       const std::string& publishing, size_t count);

struct OlderFile {
  std::string listName;  // GBK, "\" between folders
  uint32_t crc = 0;      // as listed
  fs::path path;         // where it lies on the site
};

// The files of an older version as its list names them; those not found on
// the disk under either URL scheme's name are left out. Empty when the list
// cannot be read.
std::vector<OlderFile> ReadOlderVersion(const fs::path& site, const std::string& version);

// The file of `older` a new file is best encoded against: the one of the
// same name; for a name `older` does not hold, the file of `older` that is
// gone from the release (`releaseNames`: folded and sorted) with the same extension and
// the most similar name (longest common prefix, then fewest edits).
const OlderFile* BaseFor(const std::string& listName, const std::vector<OlderFile>& older,
                         const std::vector<std::string>& releaseNames);

}  // namespace updpub
