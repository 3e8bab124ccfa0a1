#include "updpub/check/config_check.h"

#include <set>
#include <string>

#include "updpub/publish/text_rules.h"

namespace updpub {
namespace {

constexpr char kServerGroupPath[] = "Update/Setting/ServerGroup";

}  // namespace

bool CheckConfig(SiteReader& site, SignatureCheck& signatures, int64_t now, CheckReport& report, LoadedConfig& read) {
  const std::string& where = site.ConfigWhere();
  std::string bytes;
  if (!site.ReadDocument(site.ConfigRequest(), where, false, read.document, read.outline, &bytes)) return false;
  if (signatures.Signed()) {
    signatures.CheckSignature(site, site.ConfigRequest(), where, bytes);
    signatures.CheckExpiry(read.document, where, read.outline.Line("Update"), now);
  }
  if (!engine::IsUpdateConfig(read.document)) {
    AddError(report.findings, where, 0,
             "no text at Update/Setting/SoftName: the updater does not take the document for a configuration");
    return false;
  }
  engine::ParseConfig(read.document, read.config);
  const std::string utf8Flag = read.document.GetText("Update/Setting/UTF8Encode");
  if (!utf8Flag.empty() && utf8Flag != "0" && utf8Flag != "1")
    AddWarning(report.findings, where, read.outline.Line("Update/Setting/UTF8Encode"),
               "UTF8Encode \"" + Shown(utf8Flag) + "\" is read as " + (read.config.UTF8Encode ? "1" : "0") +
                   ": the updater takes anything but empty or 0 for the UTF-8 scheme");
  if (const std::string problem = VersionProblem(read.config.Version); !problem.empty()) {
    const int line = read.outline.Line("Update/Setting/Version");
    if (!HasErrorAt(report.findings, where, line)) AddError(report.findings, where, line, problem);
    if (read.config.Version.empty()) return false;
  }
  return true;
}

std::vector<ServerState> ConfigServers(const SiteReader& site, const LoadedConfig& read, CheckReport& report) {
  const std::string& where = site.ConfigWhere();
  const engine::UpdateConfig& config = read.config;
  std::vector<std::string> names;
  read.document.ChildNames(kServerGroupPath, names);
  int usable = 0;
  bool misread = false;  // a server element whose fault is already reported
  std::set<std::string> serverNames;
  std::vector<ServerState> servers;
  for (size_t i = 0; i < names.size(); ++i) {
    const int line = read.outline.ChildLine(kServerGroupPath, i);
    if (HasErrorAt(report.findings, where, line)) {
      misread = true;
      continue;
    }
    if (names[i] != "Server") {
      AddWarning(report.findings, where, line, "<" + Shown(names[i]) + "> in ServerGroup: the updater ignores it");
      continue;
    }
    const std::string path = std::string(kServerGroupPath) + "/@" + std::to_string(i + 1);
    const std::string name = read.document.GetAttribute(path, "Name");
    const std::string addr = read.document.GetAttribute(path, "Addr");
    if (name.empty() || addr.empty()) {
      AddError(report.findings, where, line, "a server without Name or Addr: the updater skips it");
      continue;
    }
    // The updater keeps only the first so many servers; the rest never appear.
    if (++usable > engine::kMaxServers) {
      if (usable == engine::kMaxServers + 1)
        AddError(report.findings, where, line,
                 "more than " + std::to_string(engine::kMaxServers) + " usable servers: the updater shows the first " +
                     std::to_string(engine::kMaxServers) + " and never uses this one or any after it");
      continue;
    }
    if (!serverNames.insert(name).second)
      AddWarning(report.findings, where, line,
                 "two servers are called \"" + Shown(name) + "\": the user cannot tell them apart");
    if (const std::string problem = AddrProblem(addr, config.UTF8Encode); !problem.empty()) {
      AddError(report.findings, where, line, "server \"" + Shown(name) + "\": " + problem);
      continue;
    }
    if (!site.IsFolder())
      servers.push_back(ServerState{Shown(name), addr, false, site.ListWhere(addr, config.Version), {}});
  }
  if (usable == 0 && !misread)
    AddError(report.findings, where, read.outline.Line(kServerGroupPath),
             "no usable server: the updater has nowhere to download from");
  // A folder has one copy of the files, whichever server the user picks.
  if (site.IsFolder())
    servers.push_back(ServerState{"the site folder", "", false, site.ListWhere("", config.Version), {}});
  return servers;
}

}  // namespace updpub
