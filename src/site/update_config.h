#pragma once
// What the server's configuration document says about the application, plus
// the values the command line adds. Filled once, then only read.
#include <array>
#include <string>

namespace xml {
class XmlDocument;
}

namespace engine {

struct ServerEntry {
  std::string Name;
  std::string Addr;
};

inline constexpr int kMaxServers = 10;

struct UpdateConfig {
  std::string SoftName;
  std::string ShortName;
  std::string LocalVersion;
  std::string Version;
  std::string AdCode;
  bool UTF8Encode = false;
  std::string MainExe;
  std::string Log;
  int ServerCount = 0;
  std::array<ServerEntry, kMaxServers> Servers;
  bool TestMode = false;
};

// True when the document names an application; anything else is not an update
// configuration, whatever else it holds.
bool IsUpdateConfig(const xml::XmlDocument& document);

// Reads the document's fields into config. Missing items give empty texts,
// false or no server; usable servers beyond kMaxServers are ignored.
void ParseConfig(const xml::XmlDocument& document, UpdateConfig& config);

}  // namespace engine
