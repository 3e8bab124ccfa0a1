#include "updpub/publish/site_files.h"

#include <system_error>

namespace updpub {
namespace {

// Documents of an update site are small; anything larger is not one.
constexpr size_t kMaxDocumentBytes = size_t{64} << 20;

class Host final : public SiteFiles {
 public:
  bool MakeFolders(const fs::path& folder, std::string& error) override {
    std::error_code code;
    fs::create_directories(folder, code);
    if (code) error = "cannot create the folder: " + code.message();
    return !code;
  }
  bool MakeNewFolder(const fs::path& folder, std::string& error) override {
    std::error_code code;
    const bool created = fs::create_directory(folder, code);
    if (code || !created) error = "cannot create the folder: " + (code ? code.message() : "it exists");
    return !code && created;
  }
  CopyOutcome Copy(const fs::path& from, const fs::path& to, std::vector<char>& buffer,
                   const std::function<void(uint64_t)>& progress, bool withSha256) override {
    return CopyWithCrc(from, to, buffer, progress, withSha256);
  }
  bool WriteFile(const fs::path& path, std::string_view bytes, std::string& error) override {
    return WriteWholeFile(path, bytes, error);
  }
  bool ReadFile(const fs::path& path, std::string& bytes, std::string& error) override {
    return ReadWholeFile(path, kMaxDocumentBytes, bytes, error);
  }
  bool Rename(const fs::path& from, const fs::path& to, std::string& error) override {
    std::error_code code;
    fs::rename(from, to, code);
    if (code) error = "cannot rename: " + code.message();
    return !code;
  }
  bool Exists(const fs::path& path) override {
    std::error_code code;
    return fs::exists(fs::symlink_status(path, code));
  }
  void RemoveAll(const fs::path& path) override {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

}  // namespace

SiteFiles& HostSiteFiles() {
  static Host host;
  return host;
}

}  // namespace updpub
