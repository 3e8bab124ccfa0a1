#include "site/update_config.h"

#include <vector>

#include "xml/xml_document.h"

namespace engine {
namespace {

constexpr char kSoftNamePath[] = "Update/Setting/SoftName";
constexpr char kShortNamePath[] = "Update/Setting/ShortName";
constexpr char kUtf8EncodePath[] = "Update/Setting/UTF8Encode";
constexpr char kMainExePath[] = "Update/Setting/MainExe";
constexpr char kAdCodePath[] = "Update/Setting/AdCode";
constexpr char kVersionPath[] = "Update/Setting/Version";
constexpr char kServerGroupPath[] = "Update/Setting/ServerGroup";
constexpr char kServerByPositionPath[] = "Update/Setting/ServerGroup/@";
constexpr char kLogPath[] = "Update/Log";
constexpr char kServerElement[] = "Server";
constexpr char kNameAttribute[] = "Name";
constexpr char kAddrAttribute[] = "Addr";

void ReadServers(const xml::XmlDocument& document, UpdateConfig& config) {
  std::vector<std::string> names;
  if (!document.ChildNames(kServerGroupPath, names)) return;
  for (size_t i = 1; i <= names.size(); ++i) {
    // The position counts every child, so the path below names this one.
    if (names[i - 1] != kServerElement) continue;
    const std::string path = kServerByPositionPath + std::to_string(i);
    ServerEntry entry{document.GetAttribute(path, kNameAttribute),
                      document.GetAttribute(path, kAddrAttribute)};
    if (entry.Name.empty() || entry.Addr.empty()) continue;
    if (config.ServerCount >= kMaxServers) break;
    config.Servers[config.ServerCount++] = std::move(entry);
  }
}

}  // namespace

bool IsUpdateConfig(const xml::XmlDocument& document) {
  return !document.RootName().empty() && !document.GetText(kSoftNamePath).empty();
}

void ParseConfig(const xml::XmlDocument& document, UpdateConfig& config) {
  config.SoftName = document.GetText(kSoftNamePath);
  config.ShortName = document.GetText(kShortNamePath);
  const std::string utf8 = document.GetText(kUtf8EncodePath);
  config.UTF8Encode = !utf8.empty() && utf8 != "0";
  config.MainExe = document.GetText(kMainExePath);
  config.AdCode = document.GetText(kAdCodePath);
  // A target version from the command line wins over the document's.
  if (!(config.TestMode && !config.Version.empty())) {
    config.Version = document.GetText(kVersionPath);
  }
  ReadServers(document, config);
  config.Log = document.GetText(kLogPath);
}

}  // namespace engine
