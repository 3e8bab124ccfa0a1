#pragma once
// Writes a whole update site from a description: the configuration document
// and, per server, the version folder with the release's files and its
// filelist.xml. Documents are GBK with CR LF line ends, as on the update
// servers. Texts in the description are GBK bytes, like the updater's.
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

struct SiteFile {
  std::string name;  // as the file list names it: relative, "\" between folders
  std::string content;
};

struct SiteServer {
  std::string name;    // shown in the server list
  std::string folder;  // ASCII folder under the site root
  std::vector<SiteFile> files;  // the release of the configured version
};

struct SiteDescription {
  std::string soft_name = "测试软件";
  std::string main_exe = "CeShi.exe";
  std::string version = "2.0";
  bool utf8_names = false;  // the UTF8Encode setting
  // The site root's address, ending in "/": "http://127.0.0.1:8080/".
  std::string base_url;
  std::vector<SiteServer> servers;
};

// Where the configuration document lies under the site root ("/" between).
inline constexpr char kConfigPath[] = "cfg/update.xml";

// The listed Hash of a content: its CRC-32 as "%X" spells it.
std::string HashText(std::string_view content);
std::string ConfigDocument(const SiteDescription& site);
std::string FileListDocument(const std::vector<SiteFile>& files);
// The decoded path under the site root that a listed file is fetched from.
std::string ServedPath(const SiteDescription& site, const SiteServer& server,
                       std::string_view name);

// Writes the site under the host folder `root`. Each release file lies under
// the name the server looks up after percent-decoding the request: its UTF-8
// bytes when the site asks for UTF-8 addresses, else its GBK bytes. Wine
// stores every name it creates as UTF-8, so a host program renames the GBK
// ones. False, with `error` set, when any part could not be written.
bool BuildSite(const SiteDescription& site, const std::string& root, std::string* error);

}  // namespace e2e
