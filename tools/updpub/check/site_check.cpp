#include "updpub/check/site_check.h"

#include <cstdint>
#include <optional>
#include <utility>

#include "updpub/check/config_check.h"
#include "updpub/check/list_check.h"
#include "updpub/check/object_check.h"
#include "updpub/check/server_compare.h"
#include "updpub/check/signature_check.h"
#include "updpub/check/site_reader.h"
#include "updpub/publish/older_versions.h"

namespace updpub {
namespace {

// The steps in the order an updater meets the site: keys, configuration,
// each server's list and files, then what the lists say together. Each step
// stops the check only where nothing after it could be judged.
void RunCheck(const CheckOptions& options, HttpGetter& http, CheckReport& report) {
  SignatureCheck signatures(report);
  if (!signatures.ReadKeys(options.publicKeys)) return;
  SiteReader site(report);
  if (!site.Open(options.target, http, signatures.Signed())) return;
  LoadedConfig read;
  if (!CheckConfig(site, signatures, options.now, report, read)) return;
  std::vector<ServerState> servers = ConfigServers(site, read, report);
  std::vector<std::string> older = options.olderVersions;
  if (older.empty() && site.IsFolder()) older = OlderVersions(site.FolderRoot(), "", read.config.Version, SIZE_MAX);
  ObjectChecker objects(site.Source(), signatures.Signed(), std::move(older), !options.olderVersions.empty());
  for (ServerState& server : servers) CheckServerList(site, signatures, objects, read.config, report, server);
  CompareServers(servers, report.findings);
  if (options.installed) report.plan = PlanInstalled(*options.installed, servers);
}

}  // namespace

CheckReport CheckSite(const CheckOptions& options, HttpGetter& http) {
  CheckReport report;
  RunCheck(options, http, report);
  for (const Finding& finding : report.findings)
    (finding.severity == Severity::kError ? report.errors : report.warnings)++;
  return report;
}

}  // namespace updpub
