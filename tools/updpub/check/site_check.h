#pragma once
// "updpub check": reads a site's configuration and every server's file list
// the way the updater does, fetches every listed file, and reports each
// problem with the document and line it concerns. Given the vendor's public
// key it also checks what an updater built with that key checks: both
// signatures, the expiry, the list's version and soft name, each SHA-256.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "updpub/check/findings.h"
#include "updpub/check/site_source.h"

namespace updpub {

// Exit codes of "updpub check".
enum CheckExit : int {
  kCheckPassed = 0,  // nothing would fail; warnings may have been printed
  kCheckFailed = 1,  // at least one error
  kCheckUsage = 2
};

struct CheckOptions {
  std::string target;                // UTF-8: a folder, a configuration file, or an http(s) address
  std::optional<fs::path> installed;  // a program folder to plan an update of
  // The site must be signed by the private half of one of them, as an
  // updater built with these keys requires.
  std::vector<fs::path> publicKeys{};
  int64_t now = 0;                    // Unix seconds, for the configuration's expiry
  // Versions whose files are the bases of deltas; a site folder is searched
  // for them when none are given.
  std::vector<std::string> olderVersions{};
};

// What an update of an installed folder would fetch from one server.
struct InstalledPlan {
  std::string server;                // UTF-8
  std::vector<std::string> files;    // UTF-8 names
  uint64_t bytes = 0;
  size_t unknownSizes = 0;           // files the server did not deliver
};

struct CheckReport {
  Findings findings;
  std::vector<std::string> checked;  // one line per document read, UTF-8
  std::optional<InstalledPlan> plan;
  int errors = 0;
  int warnings = 0;
};

// The configuration's address for a target: an http(s) address ending in
// ".xml" as it is, any other address with "update.xml" appended.
std::string ConfigAddress(const std::string& target);

// `http` serves http(s) targets; a folder or file target reads the disk.
CheckReport CheckSite(const CheckOptions& options, HttpGetter& http);

}  // namespace updpub
