#include "updpub/publish/publish.h"

#include <random>
#include <set>
#include <system_error>

#include "site/version_order.h"
#include "updpub/host/progress.h"
#include "updpub/keys/crypto.h"
#include "updpub/keys/key_codec.h"
#include "updpub/publish/documents.h"
#include "updpub/publish/parallel_copy.h"
#include "updpub/publish/text_rules.h"
#include "xml/xml_document.h"

namespace updpub {
namespace {

constexpr size_t kMaxLogBytes = size_t{1} << 20;
constexpr size_t kMaxKeyBytes = size_t{64} << 10;
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

std::string RandomSuffix() {
  std::random_device device;
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(device()));
  return text;
}

bool IsWithin(const fs::path& inner, const fs::path& outer) {
  std::error_code error;
  const fs::path a = fs::weakly_canonical(inner, error);
  const fs::path b = fs::weakly_canonical(outer, error);
  if (error) return false;
  auto ai = a.begin();
  for (auto bi = b.begin(); bi != b.end(); ++bi, ++ai) {
    if (bi->empty()) continue;  // a trailing separator
    if (ai == a.end() || *ai != *bi) return false;
  }
  return true;
}

// What signing needs once the plan is made.
struct Signing {
  std::string keyPem;
  int64_t expires = 0;
};

// Everything that can be decided before writing: the configuration to write
// and the files to copy, or the reasons to refuse.
class Plan {
 public:
  Plan(const PublishOptions& options, SiteFiles& files) : options_(options), files_(files) {}

  PublishResult Make(std::string& configBytes, ReleaseTree& release, std::optional<Signing>& signing) {
    PublishResult result;
    CheckFolders();
    ReadExisting();
    engine::UpdateConfig& config = config_;
    result.replacedVersion = config.Version;
    config.Version = options_.version;
    if (const std::string problem = VersionProblem(options_.version); !problem.empty()) Refuse("--version", problem);
    Text("--soft-name", options_.softName, config.SoftName, false);
    if (config.SoftName.empty()) Refuse("--soft-name", "the soft name is empty: the updater shows it in its title");
    Text("--short-name", options_.shortName, config.ShortName, false);
    Text("--main-exe", options_.mainExe, config.MainExe, false);
    Text("--ad-code", options_.adCode, config.AdCode, true);
    ReadLog();
    if (options_.utf8Urls) config.UTF8Encode = *options_.utf8Urls;
    Servers();
    if (options_.signingKey) signing = ReadSigning(config);
    if (options_.pack) CheckPacking();

    if (releaseIsFolder_) {
      release = ScanRelease(options_.from, config.UTF8Encode);
      if (release.files.empty() && release.refusals.empty())
        Refuse(Utf8Path(options_.from), "the release holds no file");
      for (Refusal& refusal : release.refusals) refusals_.push_back(std::move(refusal));
      release.refusals.clear();
    }
    if (refusals_.empty()) {
      const std::optional<int64_t> expires = signing ? std::optional<int64_t>(signing->expires) : std::nullopt;
      configBytes = ConfigDocument(config, expires);
      for (std::string& difference : ConfigReadBackDifferences(configBytes, config, expires))
        Refuse(kConfigFileName, std::move(difference));
    }
    result.config = config;
    result.warnings = std::move(warnings_);
    if (!refusals_.empty()) {
      result.exitCode = kPublishRefused;
      result.refusals = std::move(refusals_);
    }
    return result;
  }

 private:
  void Refuse(std::string file, std::string reason) {
    refusals_.push_back(Refusal{std::move(file), std::move(reason)});
  }

  // The key is read and its form checked before anything is written; the
  // soft name becomes an attribute of the signed list.
  std::optional<Signing> ReadSigning(const engine::UpdateConfig& config) {
    Signing signing;
    const std::string shown = Utf8Path(*options_.signingKey);
    std::string error;
    crypto::PrivateKeyParts parts;
    if (!ReadWholeFile(*options_.signingKey, kMaxKeyBytes, signing.keyPem, error)) {
      Refuse(shown, error);
    } else if (!crypto::ParsePrivateKeyPem(signing.keyPem, parts)) {
      Refuse(shown, "not a private key as \"updpub keygen\" writes it (P-256, PKCS#8 PEM)");
    }
    if (options_.expiresDays < 1 || options_.expiresDays > kMaxExpiresDays)
      Refuse("--expires", "give 1 to " + std::to_string(kMaxExpiresDays) + " days");
    if (const std::string problem = AttributeValueProblem(config.SoftName); !problem.empty())
      Refuse("--soft-name", "the signed file list carries the soft name as an attribute: " + problem);
    // A signed updater refuses a configuration below the installed version
    // only where both are dotted decimal; this version would not be held.
    if (!engine::IsDottedDecimal(config.Version))
      warnings_.push_back("version \"" + config.Version +
                          "\" is not dotted decimal (1.2, 1.10.3): the updater's rollback floor cannot "
                          "refuse an older configuration against it");
    signing.expires = options_.now + options_.expiresDays * kSecondsPerDay;
    return signing;
  }

  void CheckPacking() {
    if (options_.deltaVersions < 0 || options_.deltaVersions > kMaxDeltaVersions)
      Refuse("--deltas", "give 0 to " + std::to_string(kMaxDeltaVersions) + " older versions");
    if (options_.packLevel < kMinPackLevel || options_.packLevel > kMaxPackLevel)
      Refuse("--level", "give a level from " + std::to_string(kMinPackLevel) + " to " + std::to_string(kMaxPackLevel));
  }

  void CheckFolders() {
    std::error_code error;
    releaseIsFolder_ = fs::is_directory(options_.from, error);
    if (!releaseIsFolder_) Refuse(Utf8Path(options_.from), "the release is not a folder");
    const fs::file_status site = fs::status(options_.site, error);
    if (fs::exists(site) && !fs::is_directory(site)) Refuse(Utf8Path(options_.site), "the site is not a folder");
    if (releaseIsFolder_ && IsWithin(options_.site, options_.from))
      Refuse(Utf8Path(options_.site), "the site folder lies inside the release folder");
  }

  // Values the command line does not give are kept from the site's current
  // configuration, read as the updater reads it.
  void ReadExisting() {
    const fs::path path = options_.site / kConfigFileName;
    if (!files_.Exists(path)) return;
    std::string bytes;
    std::string error;
    xml::XmlDocument document;
    if (!files_.ReadFile(path, bytes, error)) {
      Refuse(Utf8Path(path), error);
    } else if (!document.LoadFromBytes(bytes) || !engine::IsUpdateConfig(document)) {
      Refuse(Utf8Path(path),
             "the updater cannot read the current configuration, so its values cannot be kept: "
             "fix it or move it away (\"updpub check\" tells what is wrong)");
    } else {
      engine::ParseConfig(document, config_);
    }
  }

  void Text(const char* option, const std::optional<std::string>& given, std::string& field, bool multiLine) {
    if (given) {
      const std::optional<std::string> gbk = FaithfulGbk(*given);
      if (!gbk) {
        Refuse(option, "the text has characters the GBK code page cannot hold");
        return;
      }
      field = *gbk;
    }
    if (const std::string problem = TextValueProblem(field, multiLine); !problem.empty()) Refuse(option, problem);
  }

  void ReadLog() {
    if (!options_.logFile) {
      if (const std::string problem = TextValueProblem(config_.Log, true); !problem.empty())
        Refuse("Log of the current configuration", problem);
      return;
    }
    const std::string shown = Utf8Path(*options_.logFile);
    std::string bytes;
    std::string error;
    if (!ReadWholeFile(*options_.logFile, kMaxLogBytes, bytes, error)) {
      Refuse(shown, error);
      return;
    }
    const std::optional<std::string> gbk = FaithfulGbk(NormalisedLog(bytes));
    if (!gbk) {
      Refuse(shown, "the log is no UTF-8 text, or has characters the GBK code page cannot hold");
      return;
    }
    config_.Log = *gbk;
    if (const std::string problem = TextValueProblem(config_.Log, true); !problem.empty()) Refuse(shown, problem);
  }

  void Servers() {
    engine::UpdateConfig& config = config_;
    if (!options_.servers.empty()) {
      if (options_.servers.size() > static_cast<size_t>(engine::kMaxServers)) {
        Refuse("--server", std::to_string(options_.servers.size()) + " servers: the updater shows only the first " +
                               std::to_string(engine::kMaxServers));
        return;
      }
      config.ServerCount = 0;
      for (const auto& [name, addr] : options_.servers) {
        const std::string which = "--server " + name + "=" + addr;
        const std::optional<std::string> gbkName = FaithfulGbk(name);
        const std::optional<std::string> gbkAddr = FaithfulGbk(addr);
        if (!gbkName || !gbkAddr) {
          Refuse(which, "the text has characters the GBK code page cannot hold");
          continue;
        }
        config.Servers[static_cast<size_t>(config.ServerCount++)] = engine::ServerEntry{*gbkName, *gbkAddr};
      }
    }
    if (config.ServerCount == 0) Refuse("--server", "no server: the updater would have nowhere to download from");
    std::set<std::string> names;
    for (int i = 0; i < config.ServerCount; ++i) {
      const engine::ServerEntry& server = config.Servers[static_cast<size_t>(i)];
      const std::string which = "server \"" + Shown(server.Name) + "\"";
      if (server.Name.empty()) Refuse(which, "the server's name is empty: the updater skips it");
      if (const std::string problem = AttributeValueProblem(server.Name); !problem.empty())
        Refuse(which + " name", problem);
      if (const std::string problem = AttributeValueProblem(server.Addr); !problem.empty())
        Refuse(which + " address", problem);
      else if (const std::string problem = AddrProblem(server.Addr, config.UTF8Encode); !problem.empty())
        Refuse(which + " address", problem);
      if (!names.insert(server.Name).second) Refuse(which, "two servers have this name: the user cannot tell them apart");
    }
  }

  const PublishOptions& options_;
  SiteFiles& files_;
  engine::UpdateConfig config_;
  std::vector<Refusal> refusals_;
  std::vector<std::string> warnings_;
  bool releaseIsFolder_ = false;
};

// Writes the planned site. Every step that can fail undoes what came before,
// so the site is either the old one or the new one.
class Writer {
 public:
  Writer(const PublishOptions& options, SiteFiles& files, std::FILE* progressOut)
      : options_(options), files_(files), progressOut_(progressOut), suffix_(RandomSuffix()) {}

  void Run(const ReleaseTree& release, const std::string& configBytes, const std::optional<Signing>& signing,
           PublishResult& result) {
    const fs::path live = options_.site / HostPath(options_.version);
    const fs::path staged = options_.site / HostPath(".updpub-" + options_.version + "-" + suffix_ + ".new");
    const fs::path retired = options_.site / HostPath(".updpub-" + options_.version + "-" + suffix_ + ".old");
    const fs::path config = options_.site / kConfigFileName;
    const std::string stagedConfigName = kStagedConfigPrefix + suffix_ + ".xml";
    const fs::path stagedConfig = options_.site / HostPath(stagedConfigName);
    const fs::path configSig = options_.site / (std::string(kConfigFileName) + kSignatureSuffix);
    const fs::path stagedConfigSig = options_.site / HostPath(stagedConfigName + kSignatureSuffix);
    const fs::path retiredConfigSig = options_.site / HostPath(stagedConfigName + kSignatureSuffix + ".old");
    // What was put aside is removed only once it is back in its place.
    bool putBack = true;
    const auto abandon = [&] {
      for (const fs::path& path : {staged, stagedConfig, stagedConfigSig}) files_.RemoveAll(path);
      if (putBack) files_.RemoveAll(retiredConfigSig);
    };

    std::string error;
    if (!files_.MakeFolders(options_.site, error)) return Fail(result, Utf8Path(options_.site), error);
    if (!files_.MakeNewFolder(staged, error)) return Fail(result, Utf8Path(staged), error);
    std::vector<engine::FileEntry> entries;
    ListSigning listSigning;
    if (!CopyRelease(release, staged, entries, signing ? &listSigning.sha256 : nullptr, result)) return abandon();
    if (options_.pack && !Pack(release, staged, entries, result)) return abandon();

    // Both documents are read back from the disk through the updater's
    // reader, and what is signed is the bytes read back.
    std::optional<int64_t> expires;
    if (signing) {
      listSigning.version = result.config.Version;
      listSigning.softName = result.config.SoftName;
      expires = signing->expires;
    }
    const ListSigning* listSigned = signing ? &listSigning : nullptr;
    const std::string list = FileListDocument(entries, listSigned);
    std::string written;
    if (!WriteAndVerify(staged / kFileListName, list, result, written,
                        [&](const std::string& bytes) { return FileListReadBackDifferences(bytes, entries, listSigned); }))
      return abandon();
    if (signing && !WriteSignature(staged / (std::string(kFileListName) + kSignatureSuffix), written, *signing, result))
      return abandon();
    if (!WriteAndVerify(stagedConfig, configBytes, result, written, [&](const std::string& bytes) {
          return ConfigReadBackDifferences(bytes, result.config, expires);
        }))
      return abandon();
    if (signing && !WriteSignature(stagedConfigSig, written, *signing, result)) return abandon();

    // The renames, update.xml last. Each that happened is undone, last
    // first, when a later one fails. A signature of an earlier configuration
    // never stays beside the new one; one that is replaced is copied aside
    // first, so that the new one replaces it in one rename and a document
    // never stands without a signature. Between the last two renames the
    // signature is the new configuration's and the configuration the old
    // one: a signature covers one document's bytes, so no order avoids that
    // moment; "check" names it and publishing the same release again mends it.
    const bool hadLive = files_.Exists(live);
    const bool hadConfigSig = files_.Exists(configSig);
    const bool replaceSig = signing && hadConfigSig;
    if (replaceSig && !CopyDocument(configSig, retiredConfigSig, result)) return abandon();
    std::vector<std::pair<fs::path, fs::path>> undo;  // renames that put back what was there
    const auto move = [&](const fs::path& from, const fs::path& to) {
      if (!files_.Rename(from, to, error)) {
        Fail(result, Utf8Path(to), error);
        for (auto it = undo.rbegin(); it != undo.rend() && putBack; ++it) {
          std::string ignored;
          putBack = files_.Rename(it->first, it->second, ignored);
        }
        return false;
      }
      undo.emplace_back(to, from);
      return true;
    };
    const auto moveSig = [&] {
      if (!signing) return !hadConfigSig || move(configSig, retiredConfigSig);
      if (!move(stagedConfigSig, configSig)) return false;
      if (replaceSig) undo.back() = {retiredConfigSig, configSig};  // its copy puts the old one back
      return true;
    };
    if ((hadLive && !move(live, retired)) || !move(staged, live) || !moveSig() || !move(stagedConfig, config))
      return abandon();
    if (hadLive) files_.RemoveAll(retired);
    if (hadConfigSig) files_.RemoveAll(retiredConfigSig);
    result.exitCode = kPublished;
  }

 private:
  bool CopyRelease(const ReleaseTree& release, const fs::path& staged, std::vector<engine::FileEntry>& entries,
                   std::vector<std::string>* sha256, PublishResult& result) {
    const bool utf8 = result.config.UTF8Encode;
    ProgressBar progress(progressOut_, options_.showProgress && release.totalBytes >= kProgressMinimumBytes,
                         release.totalBytes, release.files.size());
    std::set<fs::path> made;
    std::vector<CopyJob> jobs;
    jobs.reserve(release.files.size());
    for (const ReleaseFile& file : release.files) {
      // Each part is named by the bytes the server will look up.
      fs::path target = staged;
      for (size_t i = 0; i < file.segments.size(); ++i) {
        const std::string& segment = file.segments[i];
        target /= ServedSegment(utf8 ? segment : *FaithfulGbk(segment), utf8);
        if (i + 1 == file.segments.size() || made.count(target)) continue;
        std::string error;
        if (!files_.MakeFolders(target, error)) {
          Fail(result, file.shownName, error);
          return false;
        }
        made.insert(target);
      }
      jobs.push_back(CopyJob{file.source, std::move(target)});
    }
    const ParallelCopy copied = CopyInParallel(
        files_, jobs, sha256 != nullptr, CopyWorkerCount(), [&progress](uint64_t bytes) { progress.AddBytes(bytes); },
        [&progress] { progress.FileDone(); });
    if (copied.failed) {
      Fail(result, release.files[*copied.failed].shownName, copied.outcomes[*copied.failed].error);
      return false;
    }
    entries.reserve(release.files.size());
    for (size_t i = 0; i < release.files.size(); ++i) {
      const CopyOutcome& outcome = copied.outcomes[i];
      // Named members: the entry grows fields this list does not fill.
      engine::FileEntry entry;
      entry.Name = release.files[i].listName;
      entry.Hash = CrcText(outcome.crc);
      entries.push_back(std::move(entry));
      if (sha256) sha256->push_back(outcome.sha256);
      result.bytes += outcome.bytes;
      ++result.files;
    }
    return true;
  }

  // The objects go into the staged folder, so they appear and vanish with it.
  bool Pack(const ReleaseTree& release, const fs::path& staged, std::vector<engine::FileEntry>& entries,
            PublishResult& result) {
    PackSettings settings;
    settings.deltaVersions = options_.deltaVersions;
    settings.level = options_.packLevel;
    settings.codeDeltas = options_.codeDeltas;
    settings.site = options_.site;
    settings.latest = result.replacedVersion;
    settings.publishing = options_.version;
    settings.utf8Urls = result.config.UTF8Encode;
    settings.showProgress = options_.showProgress;
    settings.memory = options_.packMemory;
    const PackResult packed = PackRelease(files_, release, staged, settings, entries, progressOut_);
    if (!packed.ok) {
      Fail(result, packed.file, packed.error);
      return false;
    }
    result.packed = packed.totals;
    for (const std::string& note : packed.leftOut) result.warnings.push_back(note);
    return true;
  }

  template <typename Differences>
  bool WriteAndVerify(const fs::path& path, const std::string& bytes, PublishResult& result, std::string& written,
                      const Differences& differences) {
    std::string error;
    if (!files_.WriteFile(path, bytes, error) || !files_.ReadFile(path, written, error)) {
      Fail(result, Utf8Path(path), error);
      return false;
    }
    const std::vector<std::string> found = differences(written);
    if (found.empty()) return true;
    result.exitCode = kPublishRefused;
    for (const std::string& difference : found) result.refusals.push_back(Refusal{Utf8Path(path), difference});
    return false;
  }

  // The signature of the document's bytes as read back, itself read back.
  bool WriteSignature(const fs::path& path, const std::string& document, const Signing& signing,
                      PublishResult& result) {
    std::string signature;
    std::string error;
    std::string written;
    if (!crypto::Sign(signing.keyPem, document, signature, error) || !files_.WriteFile(path, signature, error) ||
        !files_.ReadFile(path, written, error)) {
      Fail(result, Utf8Path(path), error);
      return false;
    }
    if (written == signature) return true;
    Fail(result, Utf8Path(path), "the signature reads back differently");
    return false;
  }

  // A small document copied, read back to be sure.
  bool CopyDocument(const fs::path& from, const fs::path& to, PublishResult& result) {
    std::string bytes;
    std::string written;
    std::string error;
    if (files_.ReadFile(from, bytes, error) && files_.WriteFile(to, bytes, error) &&
        files_.ReadFile(to, written, error) && written == bytes)
      return true;
    Fail(result, Utf8Path(to), error.empty() ? "the copy reads back differently" : error);
    return false;
  }

  void Fail(PublishResult& result, const std::string& file, const std::string& error) {
    result.exitCode = kPublishWriteFailed;
    result.failure = file + ": " + error;
  }

  const PublishOptions& options_;
  SiteFiles& files_;
  std::FILE* progressOut_;
  std::string suffix_;
};

}  // namespace

std::string NormalisedLog(std::string_view utf8) {
  if (utf8.substr(0, 3) == kUtf8Bom) utf8.remove_prefix(3);
  std::string log;
  log.reserve(utf8.size() + utf8.size() / 16);
  for (size_t i = 0; i < utf8.size(); ++i) {
    const char byte = utf8[i];
    if (byte == '\r' || byte == '\n') {
      if (byte == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') ++i;
      log += "\r\n";
    } else {
      log.push_back(byte);
    }
  }
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  size_t begin = 0;
  size_t end = log.size();
  while (begin < end && isSpace(log[begin])) ++begin;
  while (end > begin && isSpace(log[end - 1])) --end;
  return log.substr(begin, end - begin);
}

PublishResult Publish(const PublishOptions& options, SiteFiles& files, std::FILE* progressOut) {
  std::string configBytes;
  ReleaseTree release;
  std::optional<Signing> signing;
  PublishResult result = Plan(options, files).Make(configBytes, release, signing);
  if (result.exitCode != kPublished) return result;
  Writer(options, files, progressOut).Run(release, configBytes, signing, result);
  return result;
}

}  // namespace updpub
