#include "updpub/command_line.h"

#include <ctime>
#include <map>
#include <optional>

#include "updpub/publish/documents.h"
#include "updpub/keys/key_files.h"
#include "updpub/publish/publish.h"
#include "updpub/check/site_check.h"

namespace updpub {
namespace {

constexpr char kMainHelp[] =
    "updpub: publishes a release as an update site, and checks update sites as the updater reads them.\n"
    "\n"
    "Usage:\n"
    "  updpub publish --from RELEASE_DIR --version V --site SITE_DIR [options]\n"
    "  updpub check SITE_DIR_OR_ADDRESS [--installed DIR] [--key NAME.pub]... [--older V]...\n"
    "  updpub keygen --out NAME [--force]\n"
    "  updpub COMMAND --help\n"
    "\n"
    "Each command's help lists its exit codes; 2 is always a usage error.\n";

constexpr char kPublishHelp[] =
    "Usage: updpub publish --from RELEASE_DIR --version V --site SITE_DIR [options]\n"
    "\n"
    "Copies RELEASE_DIR into SITE_DIR/V/ under the names the chosen URL scheme fetches,\n"
    "writes SITE_DIR/V/filelist.xml (each file's CRC-32) and writes or updates\n"
    "SITE_DIR/update.xml; values not given are kept from the current update.xml.\n"
    "Arguments and files are UTF-8; the documents are written in GBK and read back\n"
    "through the updater's own reader before they are put in place. Anything the\n"
    "updater could not use is refused before a byte is written, and a failure while\n"
    "writing leaves the previous site as it was.\n"
    "\n"
    "Options:\n"
    "  --from DIR          the release folder; must not hold the staging folder update/\n"
    "  --version V         the version: letters, digits, '.', '-' and '_'\n"
    "  --site DIR          the site folder, created when missing\n"
    "  --soft-name TEXT    the program's name, shown in the updater's title\n"
    "  --short-name TEXT   the program's short name\n"
    "  --server NAME=ADDR  a server, in the order the updater shows them; repeat for\n"
    "                      more (at most 10). Given servers replace the kept ones.\n"
    "                      ADDR is http:// or https:// and ends in '/'.\n"
    "  --log FILE          the text of the update-content page (UTF-8 text file)\n"
    "  --ad-code TEXT      the link, e.g. '<a href=\"https://example.com/\">Home</a>'\n"
    "  --main-exe NAME     the program the updater starts when it is done\n"
    "  --utf8-urls         the updater fetches files by UTF-8 names (UTF8Encode 1)\n"
    "  --local-urls        the updater fetches files by GBK names (UTF8Encode 0)\n"
    "  --sign NAME.key     sign both documents with this private key (from\n"
    "                      \"updpub keygen\"): the configuration then expires, the list\n"
    "                      names its version and soft name and each file's SHA-256,\n"
    "                      and update.xml.sig and V/filelist.xml.sig are written\n"
    "  --expires DAYS      with --sign: days until the configuration expires\n"
    "                      (default 30, at most 3650); publish again before then\n"
    "  --no-pack           write only the plain files, as sites were before packing\n"
    "  --deltas K          deltas against the last K older versions on the site\n"
    "                      (default 3, at most 8; 0 for packed objects only)\n"
    "  --level L           zstd level of the objects (1 to 22, default 19)\n"
    "  --no-code-deltas    only zstd deltas for executables, no code deltas\n"
    "\n"
    "Packing (the default): each file that compresses by at least 1 KiB and\n"
    "5 % gets V/update/packed/NAME.zst, and each file that changed since one of the\n"
    "last K versions (or, newly named, resembles a file gone since) gets\n"
    "V/update/delta/BASECRC/NAME.zst where that is smaller still. filelist.xml\n"
    "lists them with Size, Packed and Delta1..8; updaters without packing ignore them.\n"
    "  -h, --help          this text\n"
    "\n"
    "Exit status:\n"
    "  0  published\n"
    "  1  refused: the updater could not use the input as given; nothing was written\n"
    "  2  usage error\n"
    "  3  writing failed; the site is as it was before\n";

constexpr char kKeygenHelp[] =
    "Usage: updpub keygen --out NAME [--force]\n"
    "\n"
    "Makes an ECDSA P-256 key pair for signing update sites and writes NAME.key\n"
    "(the private key, PKCS#8 PEM: keep it secret, sign with \"publish --sign\") and\n"
    "NAME.pub (the public key, PEM: built into the updater, and \"check --key\").\n"
    "\n"
    "  --out NAME   the files' name without .key and .pub\n"
    "  --force      replace existing key files\n"
    "  -h, --help   this text\n"
    "\n"
    "Exit status:\n"
    "  0  written\n"
    "  1  refused: a key file exists; nothing was written\n"
    "  2  usage error\n"
    "  3  making or writing the keys failed; no key file was left\n";

constexpr char kCheckHelp[] =
    "Usage: updpub check SITE_DIR_OR_ADDRESS [--installed DIR] [--key NAME.pub]... [--older V]...\n"
    "\n"
    "Reads the configuration and every server's file list as the updater does,\n"
    "fetches every listed file and compares its CRC-32, decodes every packed object\n"
    "and delta to the file it stands for, and reports each problem as\n"
    "  WHERE:LINE: error|warning: TEXT\n"
    "\n"
    "  SITE_DIR_OR_ADDRESS  a site folder (its update.xml; the folder stands for every\n"
    "                       server), a configuration file, or an http:// or https://\n"
    "                       address of the configuration (ending in .xml) or of the\n"
    "                       folder that holds update.xml\n"
    "  --installed DIR      also list what an update of this program folder would\n"
    "                       download from the first server, and its size\n"
    "  --key NAME.pub       the site must be signed with this key's private half:\n"
    "                       checks both signatures, the expiry, that each list\n"
    "                       belongs to the configuration's version and soft name,\n"
    "                       and each file's SHA-256. Repeat it for an updater built\n"
    "                       with several keys: a signature by any of them passes\n"
    "  --older V            an older version whose files are the bases of deltas;\n"
    "                       repeat for more. A site folder is searched for them\n"
    "                       when none is given; an address cannot be.\n"
    "  -h, --help           this text\n"
    "\n"
    "Exit status:\n"
    "  0  nothing would fail (warnings may have been listed)\n"
    "  1  at least one error: something an update would fail on or misread\n"
    "  2  usage error\n";

// Options of the form "--name VALUE" or "--name=VALUE", flags, and the rest
// in order.
struct Parsed {
  std::multimap<std::string, std::string> values;
  std::vector<std::string> flags;
  std::vector<std::string> positional;
  std::string error;

  bool Has(const std::string& flag) const {
    for (const std::string& f : flags) {
      if (f == flag) return true;
    }
    return false;
  }
  std::optional<std::string> Value(const std::string& name) const {
    const auto found = values.find(name);
    if (found == values.end()) return std::nullopt;
    return found->second;
  }
};

Parsed Parse(const std::vector<std::string>& args, size_t first, const std::vector<std::string>& valueOptions,
             const std::vector<std::string>& flagOptions) {
  Parsed parsed;
  const auto isIn = [](const std::vector<std::string>& list, const std::string& name) {
    for (const std::string& item : list) {
      if (item == name) return true;
    }
    return false;
  };
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      parsed.flags.push_back("--help");
      continue;
    }
    if (arg.rfind("--", 0) != 0 || arg == "--") {
      parsed.positional.push_back(arg);
      continue;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    if (isIn(flagOptions, name) && equals == std::string::npos) {
      parsed.flags.push_back(name);
    } else if (isIn(valueOptions, name)) {
      if (equals != std::string::npos) {
        parsed.values.emplace(name, arg.substr(equals + 1));
      } else if (i + 1 < args.size()) {
        parsed.values.emplace(name, args[++i]);
      } else {
        parsed.error = name + " needs a value";
      }
    } else {
      parsed.error = "unknown option " + name;
    }
    if (!parsed.error.empty()) break;
  }
  return parsed;
}

int Usage(std::FILE* err, const std::string& message, const char* help) {
  std::fprintf(err, "updpub: %s\n\n%s", message.c_str(), help);
  return 2;
}

// A whole number as given on the command line.
std::optional<int> WholeNumber(const std::string& text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

int RunKeygen(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  const Parsed parsed = Parse(args, 1, {"--out"}, {"--force"});
  if (parsed.Has("--help")) {
    std::fputs(kKeygenHelp, out);
    return kKeysWritten;
  }
  if (!parsed.error.empty()) return Usage(err, parsed.error, kKeygenHelp);
  if (!parsed.positional.empty()) return Usage(err, "unexpected argument " + parsed.positional[0], kKeygenHelp);
  if (parsed.values.count("--out") != 1 || parsed.Value("--out")->empty())
    return Usage(err, "give --out NAME once", kKeygenHelp);
  const KeygenResult result = WriteKeyPair(*parsed.Value("--out"), parsed.Has("--force"));
  if (result.exitCode == kKeysWritten) {
    std::fprintf(out, "wrote %s (private: keep it secret) and %s\n", Utf8Path(result.privateKey).c_str(),
                 Utf8Path(result.publicKey).c_str());
  } else {
    std::fprintf(err, "updpub: %s\n", result.message.c_str());
  }
  return result.exitCode;
}

int RunPublish(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, bool errIsTerminal) {
  const Parsed parsed =
      Parse(args, 1,
            {"--from", "--version", "--site", "--soft-name", "--short-name", "--server", "--log", "--ad-code",
             "--main-exe", "--sign", "--expires", "--deltas", "--level"},
            {"--utf8-urls", "--local-urls", "--no-pack", "--no-code-deltas"});
  if (parsed.Has("--help")) {
    std::fputs(kPublishHelp, out);
    return kPublished;
  }
  if (!parsed.error.empty()) return Usage(err, parsed.error, kPublishHelp);
  if (!parsed.positional.empty()) return Usage(err, "unexpected argument " + parsed.positional[0], kPublishHelp);
  for (const char* required : {"--from", "--version", "--site"}) {
    if (!parsed.Value(required)) return Usage(err, std::string(required) + " is required", kPublishHelp);
  }
  for (const char* single : {"--from", "--version", "--site", "--soft-name", "--short-name", "--log", "--ad-code",
                             "--main-exe", "--sign", "--expires", "--deltas", "--level"}) {
    if (parsed.values.count(single) > 1) return Usage(err, std::string(single) + " is given twice", kPublishHelp);
  }
  if (parsed.Has("--utf8-urls") && parsed.Has("--local-urls"))
    return Usage(err, "--utf8-urls and --local-urls exclude each other", kPublishHelp);

  PublishOptions options;
  options.from = HostPath(*parsed.Value("--from"));
  options.site = HostPath(*parsed.Value("--site"));
  options.version = *parsed.Value("--version");
  options.softName = parsed.Value("--soft-name");
  options.shortName = parsed.Value("--short-name");
  options.adCode = parsed.Value("--ad-code");
  options.mainExe = parsed.Value("--main-exe");
  if (const auto log = parsed.Value("--log")) options.logFile = HostPath(*log);
  if (parsed.Has("--utf8-urls")) options.utf8Urls = true;
  if (parsed.Has("--local-urls")) options.utf8Urls = false;
  // multimap keeps equal keys in insertion order: the servers' order.
  const auto [first, last] = parsed.values.equal_range("--server");
  for (auto it = first; it != last; ++it) {
    const size_t equals = it->second.find('=');
    if (equals == std::string::npos) return Usage(err, "--server needs NAME=ADDR", kPublishHelp);
    options.servers.emplace_back(it->second.substr(0, equals), it->second.substr(equals + 1));
  }
  if (const auto key = parsed.Value("--sign")) options.signingKey = HostPath(*key);
  if (const auto days = parsed.Value("--expires")) {
    if (!options.signingKey) return Usage(err, "--expires needs --sign", kPublishHelp);
    const std::optional<int> value = WholeNumber(*days);
    if (!value) return Usage(err, "--expires needs a whole number of days", kPublishHelp);
    options.expiresDays = *value;
  }
  options.pack = !parsed.Has("--no-pack");
  options.codeDeltas = !parsed.Has("--no-code-deltas");
  if (parsed.Has("--no-pack") && parsed.Has("--no-code-deltas"))
    return Usage(err, "--no-code-deltas and --no-pack exclude each other", kPublishHelp);
  for (const auto& [name, field] : {std::pair<const char*, int*>{"--deltas", &options.deltaVersions},
                                    std::pair<const char*, int*>{"--level", &options.packLevel}}) {
    const auto text = parsed.Value(name);
    if (!text) continue;
    if (parsed.Has("--no-pack")) return Usage(err, std::string(name) + " and --no-pack exclude each other", kPublishHelp);
    const std::optional<int> value = WholeNumber(*text);
    if (!value) return Usage(err, std::string(name) + " needs a whole number", kPublishHelp);
    *field = *value;
  }
  options.now = static_cast<int64_t>(std::time(nullptr));
  options.showProgress = errIsTerminal;

  const PublishResult result = Publish(options, HostSiteFiles(), err);
  for (const std::string& warning : result.warnings) std::fprintf(err, "updpub: warning: %s\n", warning.c_str());
  switch (result.exitCode) {
    case kPublished:
      std::fprintf(out, "published version %s: %llu files, %llu bytes in %s; %s written (%d servers, %s URLs)\n",
                   options.version.c_str(), static_cast<unsigned long long>(result.files),
                   static_cast<unsigned long long>(result.bytes),
                   Utf8Path(options.site / HostPath(options.version)).c_str(),
                   Utf8Path(options.site / kConfigFileName).c_str(), result.config.ServerCount,
                   result.config.UTF8Encode ? "UTF-8" : "local GBK");
      if (options.pack)
        std::fprintf(out, "packed: %llu packed objects, %llu deltas, %llu code deltas, %llu bytes\n",
                     static_cast<unsigned long long>(result.packed.packed),
                     static_cast<unsigned long long>(result.packed.deltas),
                     static_cast<unsigned long long>(result.packed.codeDeltas),
                     static_cast<unsigned long long>(result.packed.bytes));
      if (options.signingKey)
        std::fprintf(out, "signed with %s; the configuration expires in %d days\n",
                     Utf8Path(*options.signingKey).c_str(), options.expiresDays);
      break;
    case kPublishRefused:
      for (const Refusal& refusal : result.refusals)
        std::fprintf(err, "updpub: %s: %s\n", refusal.file.c_str(), refusal.reason.c_str());
      std::fprintf(err, "updpub: refused; nothing was written\n");
      break;
    default:
      std::fprintf(err, "updpub: %s\nupdpub: publishing failed; the site is as it was before\n",
                   result.failure.c_str());
      break;
  }
  return result.exitCode;
}

int RunCheck(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, HttpGetter& http) {
  const Parsed parsed = Parse(args, 1, {"--installed", "--key", "--older"}, {});
  if (parsed.Has("--help")) {
    std::fputs(kCheckHelp, out);
    return kCheckPassed;
  }
  if (!parsed.error.empty()) return Usage(err, parsed.error, kCheckHelp);
  if (parsed.positional.size() != 1) return Usage(err, "give one site folder or address", kCheckHelp);
  if (parsed.values.count("--installed") > 1) return Usage(err, "--installed is given twice", kCheckHelp);
  CheckOptions options;
  options.target = parsed.positional[0];
  if (const auto installed = parsed.Value("--installed")) options.installed = HostPath(*installed);
  const auto [keyFirst, keyLast] = parsed.values.equal_range("--key");
  for (auto it = keyFirst; it != keyLast; ++it) options.publicKeys.push_back(HostPath(it->second));
  const auto [olderFirst, olderLast] = parsed.values.equal_range("--older");
  for (auto it = olderFirst; it != olderLast; ++it) options.olderVersions.push_back(it->second);
  options.now = static_cast<int64_t>(std::time(nullptr));

  const CheckReport report = CheckSite(options, http);
  for (const Finding& finding : report.findings) std::fprintf(out, "%s\n", FindingLine(finding).c_str());
  for (const std::string& where : report.checked) std::fprintf(out, "read %s\n", where.c_str());
  if (report.plan) {
    const InstalledPlan& plan = *report.plan;
    std::fprintf(out, "an update of %s from \"%s\" would download %llu files, %llu bytes%s\n",
                 Utf8Path(*options.installed).c_str(), plan.server.c_str(),
                 static_cast<unsigned long long>(plan.files.size()), static_cast<unsigned long long>(plan.bytes),
                 plan.unknownSizes ? " (and files the server did not deliver)" : "");
    for (const std::string& file : plan.files) std::fprintf(out, "  %s\n", file.c_str());
  }
  std::fprintf(out, "%d errors, %d warnings\n", report.errors, report.warnings);
  return report.errors > 0 ? kCheckFailed : kCheckPassed;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, bool errIsTerminal, HttpGetter& http) {
  if (args.empty()) return Usage(err, "no command", kMainHelp);
  const std::string& command = args[0];
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kMainHelp, out);
    return 0;
  }
  if (command == "publish") return RunPublish(args, out, err, errIsTerminal);
  if (command == "check") return RunCheck(args, out, err, http);
  if (command == "keygen") return RunKeygen(args, out, err);
  return Usage(err, "unknown command " + command, kMainHelp);
}

}  // namespace updpub
