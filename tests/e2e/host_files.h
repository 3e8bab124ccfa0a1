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

// The size of the largest file directly in `folder` (a GBK path ending in
// "\"), -1 when it holds none: the partial file of a transfer, whose record
// beside it is a few bytes.
long long LargestFileIn(const std::string& folder);

// Closes the client side of every connection to `port` on 127.0.0.1, as
// Windows does when the request a read is blocked in is closed. Wine's
// WinINet keeps such a connection open until the read returns, so a server
// that goes on would send into it and count those bytes as sent.
void CloseConnectionsToPort(const std::string& port);

}  // namespace e2e
