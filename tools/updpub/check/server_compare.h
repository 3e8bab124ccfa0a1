#pragma once
// What "updpub check" judges across the lists it read: whether every server
// offers the same files, and what an update of an installed folder would
// fetch.
#include <optional>
#include <vector>

#include "updpub/check/checked_site.h"
#include "updpub/check/site_check.h"

namespace updpub {

// Every server should offer the same files: the user picks one at random.
void CompareServers(const std::vector<ServerState>& servers, Findings& findings);

// The installed folder against the first server whose list was read, file by
// file as the updater's difference step compares them; none when no list
// was read.
std::optional<InstalledPlan> PlanInstalled(const fs::path& installed, const std::vector<ServerState>& servers);

}  // namespace updpub
