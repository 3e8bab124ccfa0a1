#include "updpub/check/list_check.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/url_encoding.h"
#include "site/file_list.h"
#include "site/file_objects.h"
#include "updpub/publish/documents.h"
#include "updpub/publish/text_rules.h"

namespace updpub {
namespace {

class ListChecker {
 public:
  ListChecker(SiteReader& site, SignatureCheck& signatures, ObjectChecker& objects,
              const engine::UpdateConfig& config, CheckReport& report, ServerState& server)
      : site_(site), signatures_(signatures), objects_(objects), config_(config), report_(report), server_(server) {}

  void Run() {
    xml::XmlDocument document;
    Outline outline;
    const std::string address = server_.base + config_.Version + "/" + kFileListName;
    std::string bytes;
    if (!site_.ReadDocument(address, server_.listWhere, true, document, outline, &bytes)) return;
    if (signatures_.Signed()) signatures_.CheckSignature(site_, address, server_.listWhere, bytes);
    if (document.RootName() != kListRoot) {
      Error(0, "the root element is not <Files>: the updater finds no file in it");
      return;
    }
    if (signatures_.Signed())
      signatures_.CheckListBelongs(document, server_.listWhere, outline.Line(kListRoot), config_);
    server_.listRead = true;
    int count = 0;
    document.ChildCount(kListRoot, count);
    std::map<std::string, int> seen;
    for (int i = 1; i <= count; ++i) {
      const int line = outline.ChildLine(kListRoot, static_cast<size_t>(i - 1));
      const std::string path = std::string(kListRoot) + "/@" + std::to_string(i);
      ListedFile file;
      if (!ReadEntry(document, path, line, seen, file)) continue;
      CheckFile(line, file);
      CheckObjects(document, path, line, file);
      server_.files.push_back(std::move(file));
    }
  }

 private:
  void Error(int line, std::string text) { AddError(report_.findings, server_.listWhere, line, std::move(text)); }
  void Warning(int line, std::string text) { AddWarning(report_.findings, server_.listWhere, line, std::move(text)); }

  // One entry as the updater reads it; false when it skips the entry or
  // the file can never match.
  bool ReadEntry(const xml::XmlDocument& document, const std::string& path, int line,
                 std::map<std::string, int>& seen, ListedFile& file) {
    file.name = document.GetAttribute(path, "Name");
    const std::string hash = document.GetAttribute(path, "Hash");
    if (HasErrorAt(report_.findings, server_.listWhere, line)) return false;
    if (file.name.empty() || hash.empty()) {
      Error(line, "a file without Name or Hash: the updater skips it");
      return false;
    }
    const std::string shown = Shown(file.name);
    if (const std::string problem = NameProblem(file.name, config_.UTF8Encode); !problem.empty()) {
      Error(line, "\"" + shown + "\": " + problem);
      return false;
    }
    const std::optional<uint32_t> value = HashValue(hash);
    if (!value) {
      Error(line, "\"" + shown + "\": Hash \"" + Shown(hash) +
                      "\" is not 1 to 8 hexadecimal digits, so the file never matches and its download always fails");
      return false;
    }
    if (hash != CrcText(*value))
      Warning(line, "\"" + shown + "\": Hash \"" + Shown(hash) + "\" is not spelt as the updater's signatures are (\"" +
                        CrcText(*value) + "\": upper case, no leading zeros)");
    if (!seen.emplace(FoldedName(file.name), line).second)
      Warning(line, "\"" + shown + "\" is listed twice: the updater fetches it twice");
    file.hash = *value;
    if (signatures_.Signed())
      file.sha256 = signatures_.ListedSha256(document.GetAttribute(path, "Sha256"), server_.listWhere, line, shown);
    return true;
  }

  void CheckFile(int line, ListedFile& file) {
    const std::string address =
        net::EncodeUrl(net::FileUrl(server_.base, config_.Version, file.name), config_.UTF8Encode);
    const Fetched fetched = site_.Source().Fetch(address, config_.UTF8Encode, false);
    const std::string shown = Shown(file.name);
    const std::string on = site_.IsFolder() ? "in the site folder" : "on server \"" + server_.name + "\"";
    if (fetched.status == Fetched::Status::kMissing) {
      Error(line, "\"" + shown + "\" is missing " + on + " (" + fetched.detail + ")");
      return;
    }
    if (fetched.status != Fetched::Status::kOk) {
      Error(line, "\"" + shown + "\" cannot be fetched " + on + " (" + fetched.detail + ")");
      return;
    }
    file.delivered = true;
    file.size = fetched.size;
    if (fetched.crc != file.hash)
      Error(line, "\"" + shown + "\" " + on + " has CRC " + CrcText(fetched.crc) + ", the list says " +
                      CrcText(file.hash) + ": the update would fail after downloading it" +
                      (fetched.statusKnown ? "" : " (or it is missing: this build's HTTP client cannot tell)"));
    else if (!file.sha256.empty() && fetched.sha256 != file.sha256)
      Error(line, "\"" + shown + "\" " + on + " has SHA-256 " + fetched.sha256 + ", the list says " + file.sha256 +
                      ": its CRC matches, but an updater with the key fails the update after downloading it");
    else
      file.intact = true;
  }

  // The compressed forms beside the file, each decoded to the file itself.
  void CheckObjects(const xml::XmlDocument& document, const std::string& path, int line, const ListedFile& file) {
    ListedObjects listed;
    listed.entry.Name = file.name;
    std::vector<std::string> dropped;
    engine::ReadFileObjects(document, path, listed.entry, &dropped);
    for (const std::string& attribute : dropped)
      Warning(line, "\"" + Shown(file.name) + "\": " + attribute + " \"" +
                        Shown(document.GetAttribute(path, attribute)) +
                        "\" is malformed or stands without Size: the updater ignores that form and fetches another");
    listed.crc = file.hash;
    listed.sha256 = file.sha256;
    listed.plainIntact = file.intact;
    listed.plainSize = file.size;
    for (ObjectProblem& problem : objects_.Check(server_.base, config_.Version, config_.UTF8Encode, listed))
      report_.findings.push_back(Finding{problem.severity, server_.listWhere, line, std::move(problem.text)});
  }

  SiteReader& site_;
  SignatureCheck& signatures_;
  ObjectChecker& objects_;
  const engine::UpdateConfig& config_;
  CheckReport& report_;
  ServerState& server_;
};

}  // namespace

void CheckServerList(SiteReader& site, SignatureCheck& signatures, ObjectChecker& objects,
                     const engine::UpdateConfig& config, CheckReport& report, ServerState& server) {
  ListChecker(site, signatures, objects, config, report, server).Run();
}

}  // namespace updpub
