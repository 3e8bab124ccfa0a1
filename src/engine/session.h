#pragma once
// The process-wide state of one updater run. Written by start-up and by a
// worker before it reports (the report is a synchronous send), so readers on
// the user-interface thread never see a half-filled record; no lock is needed.
#include <string>

#include "engine/update_config.h"

namespace engine {

struct Session {
  std::string ConfigAddress;
  std::string ProgramFolder;  // ends in a backslash
  std::string ParentPath;
  UpdateConfig Config;
  int SelectedServer = 0;  // 1-based position in Config.Servers
};

Session& CurrentSession();

}  // namespace engine
