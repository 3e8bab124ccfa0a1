#include "updpub/check/site_check.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>

#include "base/byte_text.h"
#include "base/gbk_text.h"
#include "engine/file_list.h"
#include "engine/file_objects.h"
#include "engine/update_config.h"
#include "net/url_encoding.h"
#include "updpub/publish/copy_with_crc.h"
#include "updpub/keys/crypto.h"
#include "updpub/check/document_lint.h"
#include "updpub/keys/key_codec.h"
#include "updpub/check/object_check.h"
#include "updpub/publish/older_versions.h"
#include "updpub/publish/documents.h"
#include "updpub/publish/text_rules.h"
#include "xml/xml_document.h"

namespace updpub {
namespace {

constexpr char kServerGroupPath[] = "Update/Setting/ServerGroup";
constexpr char kFilesPath[] = "Files";
constexpr size_t kMaxNamesShown = 5;
constexpr size_t kMaxKeyBytes = size_t{64} << 10;
constexpr size_t kMaxDocumentBytes = size_t{64} << 20;
constexpr int64_t kExpiryWarningDays = 7;
constexpr int64_t kSecondsPerDay = 24 * 60 * 60;
constexpr size_t kSha256Digits = 64;

// "2027-01-31 12:00:00 UTC"
std::string UtcText(int64_t seconds) {
  const int64_t days = seconds >= 0 ? seconds / kSecondsPerDay : (seconds - kSecondsPerDay + 1) / kSecondsPerDay;
  const int64_t rest = seconds - days * kSecondsPerDay;
  // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld UTC", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

// Unix seconds written as the format has them: decimal digits only.
std::optional<int64_t> SecondsValue(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool IsDigestText(std::string_view text) {
  if (text.size() != kSha256Digits) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool IsHttpAddress(const std::string& text) {
  const std::string lower = base::AsciiLower(text.substr(0, 8), base::kDocumentFirstLeadByte);
  return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
}

bool EndsWithNoCase(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         base::AsciiLower(text.substr(text.size() - suffix.size()), base::kDocumentFirstLeadByte) == suffix;
}

std::string NameList(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size() && i < kMaxNamesShown; ++i) {
    if (i > 0) text += ", ";
    text += names[i];
  }
  if (names.size() > kMaxNamesShown) text += ", ...";
  return text;
}

// A listed file as the updater would take it, with what its server delivered.
struct ListedFile {
  std::string name;  // GBK
  uint32_t hash = 0;
  std::string sha256;  // checked only with a key
  bool delivered = false;
  bool intact = false;  // delivered with the listed CRC (and SHA-256)
  uint64_t size = 0;
};

// A server as checked: its label, and its file list when one was read.
struct ServerState {
  std::string name;        // UTF-8
  std::string base;        // Addr, or "" for a folder
  bool listRead = false;
  std::string listWhere;
  std::vector<ListedFile> files;
};

class Checker {
 public:
  Checker(const CheckOptions& options, HttpGetter& http) : options_(options), http_(http) {}

  CheckReport Run() {
    if (!options_.publicKeys.empty() && !ReadKeys()) return Finish();
    if (!OpenTarget()) return Finish();
    xml::XmlDocument document;
    engine::UpdateConfig config;
    if (!ReadConfig(document, config)) return Finish();
    std::vector<ServerState> servers = Servers(document, config);
    std::vector<std::string> older = options_.olderVersions;
    if (older.empty() && IsFolder()) older = OlderVersions(*folderRoot_, "", config.Version, SIZE_MAX);
    objects_.emplace(*source_, Signed(), std::move(older), !options_.olderVersions.empty());
    for (ServerState& server : servers) CheckServer(server, config);
    CompareServers(servers);
    if (options_.installed) PlanInstalled(servers);
    return Finish();
  }

 private:
  void Error(const std::string& where, int line, std::string text) {
    report_.findings.push_back(Finding{Severity::kError, where, line, std::move(text)});
  }
  void Warning(const std::string& where, int line, std::string text) {
    report_.findings.push_back(Finding{Severity::kWarning, where, line, std::move(text)});
  }

  CheckReport Finish() {
    for (const Finding& finding : report_.findings)
      (finding.severity == Severity::kError ? report_.errors : report_.warnings)++;
    return std::move(report_);
  }

  bool Signed() const { return !keyPems_.empty(); }

  // A key that cannot be read makes every signature finding meaningless.
  bool ReadKeys() {
    for (const fs::path& path : options_.publicKeys) {
      const std::string where = Utf8Path(path);
      std::string error;
      std::string pem;
      crypto::Point point;
      if (!ReadWholeFile(path, kMaxKeyBytes, pem, error)) {
        Error(where, 0, "the key cannot be read (" + error + ")");
      } else if (!crypto::ParsePublicKeyPem(pem, point)) {
        Error(where, 0, "not a public key as \"updpub keygen\" writes it (P-256, PEM SubjectPublicKeyInfo)");
      } else {
        keyPems_.push_back(std::move(pem));
      }
    }
    if (keyPems_.size() == options_.publicKeys.size()) return true;
    keyPems_.clear();
    return false;
  }

  // As an updater built with all the keys judges it: valid when one of them
  // made it.
  crypto::Verdict VerifyWithAnyKey(const std::string& documentBytes, const std::string& signature) const {
    crypto::Verdict verdict = crypto::Verdict::kMismatch;
    for (const std::string& pem : keyPems_) {
      verdict = crypto::Verify(pem, documentBytes, signature);
      if (verdict != crypto::Verdict::kMismatch) return verdict;
    }
    return verdict;
  }

  // The signature beside a document, over the bytes as fetched.
  void CheckSignature(const std::string& documentAddress, const std::string& documentWhere,
                      const std::string& documentBytes) {
    const std::string where = documentWhere + kSignatureSuffix;
    const Fetched fetched = source_->Fetch(documentAddress + kSignatureSuffix, false, true);
    const std::string refused = ": an updater with the key refuses " + documentWhere;
    if (fetched.status == Fetched::Status::kMissing) {
      Error(where, 0, "the signature is missing (" + fetched.detail + ")" + refused);
      return;
    }
    if (fetched.status != Fetched::Status::kOk) {
      Error(where, 0, "the signature cannot be fetched (" + fetched.detail + ")" + refused);
      return;
    }
    switch (VerifyWithAnyKey(documentBytes, fetched.body)) {
      case crypto::Verdict::kValid:
        report_.checked.push_back(where);
        return;
      case crypto::Verdict::kMalformed:
        Error(where, 0,
              "the signature is malformed: " + std::to_string(fetched.body.size()) + " bytes instead of " +
                  std::to_string(crypto::kSignatureBytes) +
                  (fetched.statusKnown ? "" : " (or it is missing: this build's HTTP client cannot tell)") + refused);
        return;
      case crypto::Verdict::kMismatch:
        if (documentWhere == configWhere_) return ConfigSignatureMismatch(where, fetched.body, refused);
        Error(where, 0,
              "the signature does not match: the document was changed after signing, or signed with another key" +
                  refused);
        return;
      case crypto::Verdict::kBadKey:
        return;  // ReadKeys has said so
    }
  }

  // A publish cut short between its last two renames leaves the new
  // configuration's signature beside the old configuration, and the new
  // configuration staged in the same folder.
  void ConfigSignatureMismatch(const std::string& where, const std::string& signature, const std::string& refused) {
    if (const std::optional<fs::path> staged = StagedConfigSignedBy(signature)) {
      Error(where, 0,
            "the signature is of " + Utf8Path(*staged) +
                ", the configuration a publish cut short left staged, not of this one" + refused +
                " until the same release is published again");
      return;
    }
    Error(where, 0,
          "the signature does not match: the document was changed after signing, signed with another key, or a "
          "publish was cut short just before it renamed the configuration into place (then publish the same "
          "release again)" + refused);
  }

  std::optional<fs::path> StagedConfigSignedBy(const std::string& signature) const {
    if (!IsFolder() || configAddress_ != kConfigFileName) return std::nullopt;
    std::error_code error;
    for (fs::directory_iterator it(*folderRoot_, error), end; !error && it != end; it.increment(error)) {
      const std::string name = Utf8Path(it->path().filename());
      if (name.rfind(kStagedConfigPrefix, 0) != 0 || !EndsWithNoCase(name, ".xml")) continue;
      std::string bytes;
      std::string ignored;
      if (ReadWholeFile(it->path(), kMaxDocumentBytes, bytes, ignored) &&
          VerifyWithAnyKey(bytes, signature) == crypto::Verdict::kValid)
        return it->path();
    }
    return std::nullopt;
  }

  void CheckExpiry(const xml::XmlDocument& document) {
    const int line = configOutline_.Line("Update");
    const std::string text = document.GetAttribute("Update", "Expires");
    const std::optional<int64_t> expires = SecondsValue(text);
    if (text.empty()) {
      Error(configWhere_, line, "no Expires on <Update>: an updater with the key refuses the configuration as expired");
    } else if (!expires) {
      Error(configWhere_, line,
            "Expires \"" + Shown(text) + "\" is not Unix seconds: an updater with the key refuses the configuration");
    } else if (*expires < options_.now) {
      Error(configWhere_, line,
            "the configuration expired at " + UtcText(*expires) + ": an updater with the key refuses it (publish again)");
    } else if (*expires - options_.now < kExpiryWarningDays * kSecondsPerDay) {
      Warning(configWhere_, line, "the configuration expires at " + UtcText(*expires) + ": publish again before then");
    }
  }

  // A signed list names the version and soft name it was published for; one
  // that names others is a list of another release, refused as such.
  void CheckListBelongs(const xml::XmlDocument& document, const std::string& where, int line,
                        const engine::UpdateConfig& config) {
    for (const auto& [attribute, meant] : {std::pair<const char*, const std::string&>{"Version", config.Version},
                                           std::pair<const char*, const std::string&>{"SoftName", config.SoftName}}) {
      const std::string value = document.GetAttribute(kFilesPath, attribute);
      if (value.empty()) {
        Error(where, line, std::string("no ") + attribute + " on <Files>: an updater with the key refuses the list");
      } else if (value != meant) {
        Error(where, line,
              std::string("the list's ") + attribute + " is \"" + Shown(value) + "\", the configuration's \"" +
                  Shown(meant) + "\": the list belongs to another release and an updater with the key refuses it");
      }
    }
  }

  // An address reads from the web; anything else is a folder standing for
  // every server, or a configuration file in such a folder.
  bool OpenTarget() {
    if (IsHttpAddress(options_.target)) {
      source_ = MakeHttpSource(http_, Signed());
      configAddress_ = ConfigAddress(options_.target);
      configWhere_ = configAddress_;
      return true;
    }
    const fs::path target = HostPath(options_.target);
    std::error_code error;
    fs::path folder = target;
    std::string file = kConfigFileName;
    if (fs::is_regular_file(target, error)) {
      folder = target.parent_path();
      file = Utf8Path(target.filename());
    } else if (!fs::is_directory(target, error)) {
      Error(options_.target, 0, "neither a folder, a file, nor an http:// or https:// address");
      return false;
    }
    folderRoot_ = folder;
    source_ = MakeFolderSource(folder, Signed());
    configAddress_ = file;
    configWhere_ = Utf8Path(folder / HostPath(file));
    return true;
  }

  bool IsFolder() const { return folderRoot_.has_value(); }

  std::string ListWhere(const std::string& base, const std::string& version) const {
    if (IsFolder()) return Utf8Path(*folderRoot_ / HostPath(version) / kFileListName);
    return base + version + "/" + kFileListName;
  }

  // Loads and lints one document; false when the updater cannot use it.
  bool ReadDocument(const std::string& address, const std::string& where, bool isList, xml::XmlDocument& document,
                    Outline& outline, std::string* bytes = nullptr) {
    const Fetched fetched = source_->Fetch(address, false, true);
    if (fetched.status != Fetched::Status::kOk) {
      Error(where, 0, std::string(fetched.status == Fetched::Status::kMissing ? "missing" : "cannot be fetched") +
                          " (" + fetched.detail + ")");
      return false;
    }
    outline = LintDocument(fetched.body, where, report_.findings);
    // The updater trims a file list before it loads it; the configuration
    // is loaded as it comes.
    const std::string text = isList ? engine::TrimListText(fetched.body) : fetched.body;
    if (!document.LoadFromBytes(text)) {
      if (!HasErrorIn(report_.findings, where)) Error(where, 0, "the updater's reader cannot load the document");
      return false;
    }
    report_.checked.push_back(where);
    if (bytes != nullptr) *bytes = fetched.body;
    return true;
  }

  bool ReadConfig(xml::XmlDocument& document, engine::UpdateConfig& config) {
    std::string bytes;
    if (!ReadDocument(configAddress_, configWhere_, false, document, configOutline_, &bytes)) return false;
    if (Signed()) {
      CheckSignature(configAddress_, configWhere_, bytes);
      CheckExpiry(document);
    }
    if (!engine::IsUpdateConfig(document)) {
      Error(configWhere_, 0,
            "no text at Update/Setting/SoftName: the updater does not take the document for a configuration");
      return false;
    }
    engine::ParseConfig(document, config);
    const std::string utf8Flag = document.GetText("Update/Setting/UTF8Encode");
    if (!utf8Flag.empty() && utf8Flag != "0" && utf8Flag != "1")
      Warning(configWhere_, configOutline_.Line("Update/Setting/UTF8Encode"),
              "UTF8Encode \"" + Shown(utf8Flag) + "\" is read as " + (config.UTF8Encode ? "1" : "0") +
                  ": the updater takes anything but empty or 0 for the UTF-8 scheme");
    if (const std::string problem = VersionProblem(config.Version); !problem.empty()) {
      const int line = configOutline_.Line("Update/Setting/Version");
      if (!HasErrorAt(report_.findings, configWhere_, line)) Error(configWhere_, line, problem);
      if (config.Version.empty()) return false;
    }
    return true;
  }

  // The servers to fetch from: every usable one the updater shows, or the
  // folder standing for all of them.
  std::vector<ServerState> Servers(const xml::XmlDocument& document, const engine::UpdateConfig& config) {
    std::vector<std::string> names;
    document.ChildNames(kServerGroupPath, names);
    int usable = 0;
    bool misread = false;  // a server element whose fault is already reported
    std::set<std::string> serverNames;
    std::vector<ServerState> servers;
    for (size_t i = 0; i < names.size(); ++i) {
      const int line = configOutline_.ChildLine(kServerGroupPath, i);
      if (HasErrorAt(report_.findings, configWhere_, line)) {
        misread = true;
        continue;
      }
      if (names[i] != "Server") {
        Warning(configWhere_, line, "<" + Shown(names[i]) + "> in ServerGroup: the updater ignores it");
        continue;
      }
      const std::string path = std::string(kServerGroupPath) + "/@" + std::to_string(i + 1);
      const std::string name = document.GetAttribute(path, "Name");
      const std::string addr = document.GetAttribute(path, "Addr");
      if (name.empty() || addr.empty()) {
        Error(configWhere_, line, "a server without Name or Addr: the updater skips it");
        continue;
      }
      if (++usable > engine::kMaxServers) {
        if (usable == engine::kMaxServers + 1)
          Error(configWhere_, line,
                "more than " + std::to_string(engine::kMaxServers) +
                    " usable servers: the updater shows the first " + std::to_string(engine::kMaxServers) +
                    " and never uses this one or any after it");
        continue;
      }
      if (!serverNames.insert(name).second)
        Warning(configWhere_, line, "two servers are called \"" + Shown(name) + "\": the user cannot tell them apart");
      if (const std::string problem = AddrProblem(addr, config.UTF8Encode); !problem.empty()) {
        Error(configWhere_, line, "server \"" + Shown(name) + "\": " + problem);
        continue;
      }
      if (!IsFolder()) servers.push_back(ServerState{Shown(name), addr, false, ListWhere(addr, config.Version), {}});
    }
    if (usable == 0 && !misread)
      Error(configWhere_, configOutline_.Line(kServerGroupPath), "no usable server: the updater has nowhere to download from");
    if (IsFolder()) servers.push_back(ServerState{"the site folder", "", false, ListWhere("", config.Version), {}});
    return servers;
  }

  void CheckServer(ServerState& server, const engine::UpdateConfig& config) {
    xml::XmlDocument document;
    Outline outline;
    const std::string address = server.base + config.Version + "/" + kFileListName;
    std::string bytes;
    if (!ReadDocument(address, server.listWhere, true, document, outline, &bytes)) return;
    if (Signed()) CheckSignature(address, server.listWhere, bytes);
    if (document.RootName() != kFilesPath) {
      Error(server.listWhere, 0, "the root element is not <Files>: the updater finds no file in it");
      return;
    }
    if (Signed()) CheckListBelongs(document, server.listWhere, outline.Line(kFilesPath), config);
    server.listRead = true;
    int count = 0;
    document.ChildCount(kFilesPath, count);
    std::map<std::string, int> seen;
    for (int i = 1; i <= count; ++i) {
      const int line = outline.ChildLine(kFilesPath, static_cast<size_t>(i - 1));
      const std::string path = std::string(kFilesPath) + "/@" + std::to_string(i);
      ListedFile file;
      file.name = document.GetAttribute(path, "Name");
      const std::string hash = document.GetAttribute(path, "Hash");
      if (HasErrorAt(report_.findings, server.listWhere, line)) continue;
      if (file.name.empty() || hash.empty()) {
        Error(server.listWhere, line, "a file without Name or Hash: the updater skips it");
        continue;
      }
      const std::string shown = Shown(file.name);
      if (const std::string problem = NameProblem(file.name, config.UTF8Encode); !problem.empty()) {
        Error(server.listWhere, line, "\"" + shown + "\": " + problem);
        continue;
      }
      const std::optional<uint32_t> value = HashValue(hash);
      if (!value) {
        Error(server.listWhere, line,
              "\"" + shown + "\": Hash \"" + Shown(hash) +
                  "\" is not 1 to 8 hexadecimal digits, so the file never matches and its download always fails");
        continue;
      }
      if (hash != CrcText(*value))
        Warning(server.listWhere, line,
                "\"" + shown + "\": Hash \"" + Shown(hash) + "\" is not spelt as the updater's signatures are (\"" +
                    CrcText(*value) + "\": upper case, no leading zeros)");
      if (!seen.emplace(FoldedName(file.name), line).second)
        Warning(server.listWhere, line, "\"" + shown + "\" is listed twice: the updater fetches it twice");
      file.hash = *value;
      if (Signed()) {
        file.sha256 = document.GetAttribute(path, "Sha256");
        if (!IsDigestText(file.sha256)) {
          Error(server.listWhere, line,
                "\"" + shown + "\": " +
                    (file.sha256.empty() ? std::string("no Sha256")
                                         : "Sha256 \"" + Shown(file.sha256) + "\" is not 64 lower-case hexadecimal digits") +
                    ": an updater with the key never accepts the file");
          file.sha256.clear();
        }
      }
      CheckFile(server, config, line, file);
      CheckObjects(server, config, document, path, line, file);
      server.files.push_back(std::move(file));
    }
  }

  void CheckFile(const ServerState& server, const engine::UpdateConfig& config, int line, ListedFile& file) {
    const std::string address = net::EncodeUrl(net::FileUrl(server.base, config.Version, file.name), config.UTF8Encode);
    const Fetched fetched = source_->Fetch(address, config.UTF8Encode, false);
    const std::string shown = Shown(file.name);
    const std::string on = IsFolder() ? "in the site folder" : "on server \"" + server.name + "\"";
    if (fetched.status == Fetched::Status::kMissing) {
      Error(server.listWhere, line, "\"" + shown + "\" is missing " + on + " (" + fetched.detail + ")");
      return;
    }
    if (fetched.status != Fetched::Status::kOk) {
      Error(server.listWhere, line, "\"" + shown + "\" cannot be fetched " + on + " (" + fetched.detail + ")");
      return;
    }
    file.delivered = true;
    file.size = fetched.size;
    if (fetched.crc != file.hash)
      Error(server.listWhere, line,
            "\"" + shown + "\" " + on + " has CRC " + CrcText(fetched.crc) + ", the list says " + CrcText(file.hash) +
                ": the update would fail after downloading it" +
                (fetched.statusKnown ? "" : " (or it is missing: this build's HTTP client cannot tell)"));
    else if (!file.sha256.empty() && fetched.sha256 != file.sha256)
      Error(server.listWhere, line,
            "\"" + shown + "\" " + on + " has SHA-256 " + fetched.sha256 + ", the list says " + file.sha256 +
                ": its CRC matches, but an updater with the key fails the update after downloading it");
    else
      file.intact = true;
  }

  // The compressed forms beside the file, each decoded to the file itself.
  void CheckObjects(const ServerState& server, const engine::UpdateConfig& config, const xml::XmlDocument& document,
                    const std::string& path, int line, const ListedFile& file) {
    ListedObjects listed;
    listed.entry.Name = file.name;
    std::vector<std::string> dropped;
    engine::ReadFileObjects(document, path, listed.entry, &dropped);
    for (const std::string& attribute : dropped)
      Warning(server.listWhere, line,
              "\"" + Shown(file.name) + "\": " + attribute + " \"" + Shown(document.GetAttribute(path, attribute)) +
                  "\" is malformed or stands without Size: the updater ignores that form and fetches another");
    listed.crc = file.hash;
    listed.sha256 = file.sha256;
    listed.plainIntact = file.intact;
    listed.plainSize = file.size;
    for (ObjectProblem& problem : objects_->Check(server.base, config.Version, config.UTF8Encode, listed))
      report_.findings.push_back(Finding{problem.severity, server.listWhere, line, std::move(problem.text)});
  }

  // Every server should offer the same files: the user picks one at random.
  void CompareServers(const std::vector<ServerState>& servers) {
    const ServerState* first = nullptr;
    for (const ServerState& server : servers) {
      if (!server.listRead) continue;
      if (first == nullptr) {
        first = &server;
        continue;
      }
      std::map<std::string, uint32_t> theirs;
      for (const ListedFile& file : first->files) theirs.emplace(FoldedName(file.name), file.hash);
      std::vector<std::string> onlyHere;
      std::vector<std::string> otherHash;
      for (const ListedFile& file : server.files) {
        const auto found = theirs.find(FoldedName(file.name));
        if (found == theirs.end()) {
          onlyHere.push_back(Shown(file.name));
        } else {
          if (found->second != file.hash) otherHash.push_back(Shown(file.name));
          theirs.erase(found);
        }
      }
      std::vector<std::string> missingHere;
      for (const ListedFile& file : first->files) {
        if (theirs.count(FoldedName(file.name))) missingHere.push_back(Shown(file.name));
      }
      if (onlyHere.empty() && otherHash.empty() && missingHere.empty()) continue;
      std::string text = "server \"" + server.name + "\" disagrees with server \"" + first->name + "\":";
      if (!otherHash.empty()) text += " other CRC for " + NameList(otherHash) + ";";
      if (!onlyHere.empty()) text += " listed only here: " + NameList(onlyHere) + ";";
      if (!missingHere.empty()) text += " not listed here: " + NameList(missingHere) + ";";
      text.pop_back();
      Error(server.listWhere, 0, text);
    }
  }

  // Compares the installed folder with the first server whose list was read,
  // file by file as the updater's difference step does.
  void PlanInstalled(const std::vector<ServerState>& servers) {
    const auto server = std::find_if(servers.begin(), servers.end(), [](const ServerState& s) { return s.listRead; });
    if (server == servers.end()) return;
    InstalledPlan plan;
    plan.server = server->name;
    std::vector<char> buffer;
    for (const ListedFile& file : server->files) {
      fs::path local = *options_.installed;
      std::string segment;
      const std::string utf8 = base::Utf8FromGbk(file.name);
      for (const char c : utf8) {
        if (c == '\\') {
          local /= HostPath(segment);
          segment.clear();
        } else {
          segment.push_back(c);
        }
      }
      local /= HostPath(segment);
      std::error_code error;
      bool matches = false;
      if (fs::exists(local, error)) {
        const CopyOutcome summed = CrcOfFile(local, buffer);
        // An existing file that cannot be read has the signature "0".
        matches = engine::SignatureMatches(summed.ok ? CrcText(summed.crc) : "0", CrcText(file.hash));
      }
      if (matches) continue;
      plan.files.push_back(utf8);
      if (file.delivered) {
        plan.bytes += file.size;
      } else {
        ++plan.unknownSizes;
      }
    }
    report_.plan = std::move(plan);
  }

  const CheckOptions& options_;
  HttpGetter& http_;
  CheckReport report_;
  std::unique_ptr<SiteSource> source_;
  std::optional<ObjectChecker> objects_;
  std::optional<fs::path> folderRoot_;
  std::string configAddress_;
  std::string configWhere_;
  Outline configOutline_;
  std::vector<std::string> keyPems_;  // none: the site is checked as unsigned
};

}  // namespace

std::string ConfigAddress(const std::string& target) {
  if (EndsWithNoCase(target, ".xml")) return target;
  return target + (target.empty() || target.back() != '/' ? "/" : "") + kConfigFileName;
}

CheckReport CheckSite(const CheckOptions& options, HttpGetter& http) { return Checker(options, http).Run(); }

}  // namespace updpub
