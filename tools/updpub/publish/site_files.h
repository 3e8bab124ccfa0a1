#pragma once
// The file operations a publish performs on the site and the release, behind
// one narrow interface so that a test can make any one of them fail.
#include <string>
#include <string_view>
#include <vector>

#include "updpub/publish/copy_with_crc.h"

namespace updpub {

class SiteFiles {
 public:
  virtual ~SiteFiles() = default;
  // Each returns false with `error` set when it did not happen.
  virtual bool MakeFolders(const fs::path& folder, std::string& error) = 0;
  // A new folder; false when anything is there already.
  virtual bool MakeNewFolder(const fs::path& folder, std::string& error) = 0;
  // Sums the SHA-256 too when withSha256.
  virtual CopyOutcome Copy(const fs::path& from, const fs::path& to, std::vector<char>& buffer,
                           const std::function<void(uint64_t)>& progress, bool withSha256) = 0;
  virtual bool WriteFile(const fs::path& path, std::string_view bytes, std::string& error) = 0;
  virtual bool ReadFile(const fs::path& path, std::string& bytes, std::string& error) = 0;
  // Replaces a file at `to`; a folder is renamed only to a free name.
  virtual bool Rename(const fs::path& from, const fs::path& to, std::string& error) = 0;
  virtual bool Exists(const fs::path& path) = 0;
  // Best effort: what cannot be removed stays.
  virtual void RemoveAll(const fs::path& path) = 0;
};

// The host's files.
SiteFiles& HostSiteFiles();

}  // namespace updpub
