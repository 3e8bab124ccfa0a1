#pragma once
// Files and host programs for the cases that prepare a site with host tools
// (updpub, openssl): bytes by Windows path, whole folders, and bash scripts
// run to their end.
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace e2e {

// Paths are Windows paths in GBK; WriteBytes creates the missing folders.
std::optional<std::string> ReadBytes(const std::string& path);
bool WriteBytes(const std::string& path, const std::string& content);
// Every file below `folder` (ending in "\") by relative name, with its bytes.
std::map<std::string, std::string> Tree(const std::string& folder);

// A host path under /tmp no other case or test process uses.
std::string UniqueHostPath(std::string_view stem);

struct HostResult {
  bool finished = false;
  int status = -1;
  std::string output;
};

// Runs `script` with bash on the host and waits for its status and output.
HostResult RunHostScript(const std::string& script);
// Single quotes for bash; the texts given hold none.
std::string Quoted(const std::string& text);

}  // namespace e2e
