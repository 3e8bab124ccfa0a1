#pragma once
// Shared pieces of updpub's tests: scratch folders, folder snapshots, a
// release generator and an HTTP getter that serves folders the way a web
// server does.
#include <atomic>
#include <cstdint>
#include <functional>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "updpub/publish/publish.h"
#include "updpub/publish/site_files.h"
#include "updpub/check/site_source.h"

namespace tool_testing {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed at the end.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void WriteBytes(const fs::path& path, std::string_view bytes);  // creates the folders
std::string ReadBytes(const fs::path& path);

// Every file and folder below root: relative name -> content, folders as "<dir>".
std::map<std::string, std::string> Snapshot(const fs::path& root);

uint32_t Crc(std::string_view bytes);
std::string CrcHex(std::string_view bytes);  // "%X"

// The line (1-based) of the first occurrence of `needle`, or 0.
int LineOf(std::string_view text, std::string_view needle);

// Replaces the first occurrence; the test fails when there is none.
void ReplaceOnce(std::string& text, std::string_view from, std::string_view to);
void ReplaceInFile(const fs::path& path, std::string_view from, std::string_view to);

// A small release: a.txt, sub/b.dll, 数据/说明 1.txt, and short.txt whose
// CRC-32 has at most 7 hexadecimal digits.
std::map<std::string, std::string> SmallRelease();
void WriteRelease(const fs::path& root, const std::map<std::string, std::string>& files);

// Publish options for a release and a site, with one named server.
updpub::PublishOptions Options(const fs::path& release, const fs::path& site, const std::string& version);

// The host's files, except that the step-th operation that can fail fails,
// once, leaving behind what a real break-off would: a copy or a document
// written half. Steps are counted across threads, as copies run on several.
class FailingSiteFiles final : public updpub::SiteFiles {
 public:
  explicit FailingSiteFiles(int failAt) : failAt_(failAt) {}
  bool MakeFolders(const fs::path& folder, std::string& error) override;
  bool MakeNewFolder(const fs::path& folder, std::string& error) override;
  updpub::CopyOutcome Copy(const fs::path& from, const fs::path& to, std::vector<char>& buffer,
                           const std::function<void(uint64_t)>& progress, bool withSha256) override;
  bool WriteFile(const fs::path& path, std::string_view bytes, std::string& error) override;
  bool ReadFile(const fs::path& path, std::string& bytes, std::string& error) override;
  bool Rename(const fs::path& from, const fs::path& to, std::string& error) override;
  bool Exists(const fs::path& path) override;
  void RemoveAll(const fs::path& path) override;

 private:
  bool Step(std::string& error);
  std::atomic<int> steps_{0};
  int failAt_;
  updpub::SiteFiles& host_ = updpub::HostSiteFiles();
};

// Serves http://HOST/PATH from root/PATH, percent-decoded and looked up byte
// for byte; 404 when there is no such file. Counts requests.
class FolderHttp : public updpub::HttpGetter {
 public:
  explicit FolderHttp(fs::path root) : root_(std::move(root)) {}
  updpub::HttpResult Get(const std::string& url, const std::function<void(const char*, size_t)>& body) override;
  int requests = 0;

 private:
  fs::path root_;
};

}  // namespace tool_testing
