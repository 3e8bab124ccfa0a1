#pragma once
// What "updpub check" judges in one server's file list: each entry as the
// updater reads it, the file it names as the server delivers it, and the
// compressed forms offered beside it.
#include "site/update_config.h"
#include "updpub/check/checked_site.h"
#include "updpub/check/object_check.h"
#include "updpub/check/signature_check.h"
#include "updpub/check/site_reader.h"

namespace updpub {

// Fills `server` with its list's files when the list can be read.
void CheckServerList(SiteReader& site, SignatureCheck& signatures, ObjectChecker& objects,
                     const engine::UpdateConfig& config, CheckReport& report, ServerState& server);

}  // namespace updpub
