#include "updpub/check/site_reader.h"

#include "base/byte_text.h"
#include "site/file_list.h"
#include "updpub/publish/documents.h"

namespace updpub {
namespace {

constexpr size_t kMaxDocumentBytes = size_t{64} << 20;

bool IsHttpAddress(const std::string& text) {
  const std::string lower = base::AsciiLower(text.substr(0, 8), base::kDocumentFirstLeadByte);
  return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
}

bool EndsWithNoCase(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         base::AsciiLower(text.substr(text.size() - suffix.size()), base::kDocumentFirstLeadByte) == suffix;
}

}  // namespace

std::string ConfigAddress(const std::string& target) {
  if (EndsWithNoCase(target, ".xml")) return target;
  return target + (target.empty() || target.back() != '/' ? "/" : "") + kConfigFileName;
}

// An address reads from the web; anything else is a folder standing for
// every server, or a configuration file in such a folder.
bool SiteReader::Open(const std::string& target, HttpGetter& http, bool withSha256) {
  if (IsHttpAddress(target)) {
    source_ = MakeHttpSource(http, withSha256);
    configAddress_ = ConfigAddress(target);
    configWhere_ = configAddress_;
    return true;
  }
  const fs::path path = HostPath(target);
  std::error_code error;
  fs::path folder = path;
  std::string file = kConfigFileName;
  if (fs::is_regular_file(path, error)) {
    folder = path.parent_path();
    file = Utf8Path(path.filename());
  } else if (!fs::is_directory(path, error)) {
    AddError(report_.findings, target, 0, "neither a folder, a file, nor an http:// or https:// address");
    return false;
  }
  folderRoot_ = folder;
  source_ = MakeFolderSource(folder, withSha256);
  configAddress_ = file;
  configWhere_ = Utf8Path(folder / HostPath(file));
  return true;
}

std::string SiteReader::ListWhere(const std::string& base, const std::string& version) const {
  if (IsFolder()) return Utf8Path(*folderRoot_ / HostPath(version) / kFileListName);
  return base + version + "/" + kFileListName;
}

bool SiteReader::ReadDocument(const std::string& address, const std::string& where, bool isList,
                              xml::XmlDocument& document, Outline& outline, std::string* bytes) {
  const Fetched fetched = source_->Fetch(address, false, true);
  if (fetched.status != Fetched::Status::kOk) {
    AddError(report_.findings, where, 0,
             std::string(fetched.status == Fetched::Status::kMissing ? "missing" : "cannot be fetched") + " (" +
                 fetched.detail + ")");
    return false;
  }
  outline = LintDocument(fetched.body, where, report_.findings);
  // The updater trims a file list before it loads it; the configuration
  // is loaded as it comes.
  const std::string text = isList ? engine::TrimListText(fetched.body) : fetched.body;
  if (!document.LoadFromBytes(text)) {
    if (!HasErrorIn(report_.findings, where))
      AddError(report_.findings, where, 0, "the updater's reader cannot load the document");
    return false;
  }
  report_.checked.push_back(where);
  if (bytes != nullptr) *bytes = fetched.body;
  return true;
}

// Only a folder can be listed, and a publish stages its configuration in the
// folder of the one it replaces, under the default name.
std::optional<fs::path> SiteReader::FindStagedConfig(const std::function<bool(const std::string&)>& accepted) const {
  if (!IsFolder() || configAddress_ != kConfigFileName) return std::nullopt;
  std::error_code error;
  for (fs::directory_iterator it(*folderRoot_, error), end; !error && it != end; it.increment(error)) {
    const std::string name = Utf8Path(it->path().filename());
    if (name.rfind(kStagedConfigPrefix, 0) != 0 || !EndsWithNoCase(name, ".xml")) continue;
    std::string bytes;
    std::string ignored;
    if (ReadWholeFile(it->path(), kMaxDocumentBytes, bytes, ignored) && accepted(bytes)) return it->path();
  }
  return std::nullopt;
}

}  // namespace updpub
