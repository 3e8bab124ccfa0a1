#pragma once
// What "updpub check" judges in a site's configuration: that the updater
// takes it for one, how it reads UTF8Encode and Version, and which servers
// it shows and can use.
#include <cstdint>
#include <vector>

#include "site/update_config.h"
#include "updpub/check/checked_site.h"
#include "updpub/check/document_lint.h"
#include "updpub/check/signature_check.h"
#include "updpub/check/site_reader.h"
#include "xml/xml_document.h"

namespace updpub {

// The configuration as read, with the lines findings name.
struct LoadedConfig {
  xml::XmlDocument document;
  engine::UpdateConfig config;
  Outline outline;
};

// Reads the site's configuration and checks it (its signature and expiry
// too on a signed site, against `now`); false when nothing after it can be
// checked.
bool CheckConfig(SiteReader& site, SignatureCheck& signatures, int64_t now, CheckReport& report, LoadedConfig& read);

// The servers to fetch from: every usable one the updater shows, or the
// folder standing for all of them.
std::vector<ServerState> ConfigServers(const SiteReader& site, const LoadedConfig& read, CheckReport& report);

}  // namespace updpub
