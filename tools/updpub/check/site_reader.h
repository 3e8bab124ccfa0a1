#pragma once
// How "updpub check" reads a site: the target opened the way the updater
// reaches it (an http(s) address, or a folder standing for every server),
// and each document fetched, linted and loaded. What cannot be read is
// reported here; what was read is judged by the other steps.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "updpub/check/document_lint.h"
#include "updpub/check/site_check.h"
#include "updpub/check/site_source.h"
#include "xml/xml_document.h"

namespace updpub {

class SiteReader {
 public:
  explicit SiteReader(CheckReport& report) : report_(report) {}

  // False (reported) when the target is neither a folder, a file, nor an
  // http(s) address. withSha256: every fetch sums the SHA-256 too.
  bool Open(const std::string& target, HttpGetter& http, bool withSha256);

  SiteSource& Source() { return *source_; }
  bool IsFolder() const { return folderRoot_.has_value(); }
  const fs::path& FolderRoot() const { return *folderRoot_; }  // only when IsFolder()
  // The configuration as requested from the source, and as findings name it.
  const std::string& ConfigRequest() const { return configAddress_; }
  const std::string& ConfigWhere() const { return configWhere_; }
  // How findings name the file list of `version` on the server at `base`.
  std::string ListWhere(const std::string& base, const std::string& version) const;

  // Loads and lints one document; false (reported) when the updater cannot
  // use it. `bytes`, when given, receives the document as fetched.
  bool ReadDocument(const std::string& address, const std::string& where, bool isList, xml::XmlDocument& document,
                    Outline& outline, std::string* bytes = nullptr);

  // A configuration a publish cut short left staged beside the folder's own
  // one, the first whose bytes `accepted` takes.
  std::optional<fs::path> FindStagedConfig(const std::function<bool(const std::string&)>& accepted) const;

 private:
  CheckReport& report_;
  std::unique_ptr<SiteSource> source_;
  std::optional<fs::path> folderRoot_;
  std::string configAddress_;
  std::string configWhere_;
};

}  // namespace updpub
