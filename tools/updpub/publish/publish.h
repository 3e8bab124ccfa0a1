#pragma once
// Publishing a release folder as one version of an update site:
//   SITE/VERSION/...          the release, named as the chosen URL scheme fetches it
//   SITE/VERSION/filelist.xml one File per file with its CRC-32
//   SITE/VERSION/update/...   the files' packed and delta objects, unless not packing
//   SITE/update.xml           the configuration, other values kept
// Signed with a private key, the configuration carries its expiry, the list
// its version, soft name and each file's SHA-256, and each document has its
// signature beside it (update.xml.sig, VERSION/filelist.xml.sig).
// Everything is checked before anything is written; the new version folder
// is built beside the old one and renamed into place, update.xml last, and a
// failure on the way puts the previous site back, signatures included.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "site/update_config.h"
#include "updpub/packing/object_codec.h"
#include "updpub/packing/pack_release.h"
#include "updpub/publish/release_tree.h"
#include "updpub/publish/site_files.h"

namespace updpub {

// Exit codes of "updpub publish".
enum PublishExit : int {
  kPublished = 0,
  kPublishRefused = 1,     // the updater could not use the input; nothing written
  kPublishUsage = 2,
  kPublishWriteFailed = 3  // writing failed; the previous site is as it was
};

inline constexpr int kDefaultExpiresDays = 30;
inline constexpr int kMaxExpiresDays = 3650;
inline constexpr int64_t kSecondsPerDay = 24 * 60 * 60;

struct PublishOptions {
  fs::path from;
  fs::path site;
  std::string version;  // texts are UTF-8
  std::optional<std::string> softName;
  std::optional<std::string> shortName;
  std::optional<std::string> adCode;
  std::optional<std::string> mainExe;
  std::optional<fs::path> logFile;
  std::vector<std::pair<std::string, std::string>> servers;  // name, address; replaces the kept ones
  std::optional<bool> utf8Urls;
  std::optional<fs::path> signingKey;  // a private key file: sign the documents
  int expiresDays = kDefaultExpiresDays;
  int64_t now = 0;                     // Unix seconds; the expiry counts from here
  bool showProgress = false;
  // Compressed forms beside the plain files (pack_release.h); a site
  // published without them is read by every updater as before.
  bool pack = true;
  int deltaVersions = kDefaultDeltaVersions;  // 0 to kMaxDeltaVersions older versions as bases
  int packLevel = kDefaultPackLevel;
  bool codeDeltas = true;  // beside the deltas of executables that they beat
  MemoryBudget packMemory;  // zero: from the machine
};

struct PublishResult {
  int exitCode = kPublished;
  std::vector<Refusal> refusals;  // kPublishRefused
  std::vector<std::string> warnings;  // published all the same
  std::string failure;            // kPublishWriteFailed
  size_t files = 0;
  uint64_t bytes = 0;
  engine::UpdateConfig config;  // as written
  std::string replacedVersion;  // the Version of the configuration replaced; "" when there was none
  PackTotals packed;
};

// The log as the updater shows it: UTF-8 without byte-order mark, every line
// break CR LF (an edit control breaks lines there only), white space at both
// ends removed.
std::string NormalisedLog(std::string_view utf8);

PublishResult Publish(const PublishOptions& options, SiteFiles& files, std::FILE* progressOut);

}  // namespace updpub
