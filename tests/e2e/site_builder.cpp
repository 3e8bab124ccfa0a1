#include "e2e/site_builder.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "base/gbk_text.h"
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "digests/crc32.h"
#include "e2e/harness.h"

namespace e2e {
namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr char kPython[] = "/usr/bin/python3";
constexpr int kRenameTimeoutMs = 15000;
constexpr char kRenameDone[] = "done";

// Renames, deepest first, every name under the folder from its UTF-8 bytes
// to its GBK bytes, then reports through the marker file, which appears
// whole or not at all.
constexpr char kRenameScript[] = R"(import os, sys
root, marker = os.fsencode(sys.argv[1]), sys.argv[2]
try:
    for folder, folders, names in os.walk(root, topdown=False):
        for name in folders + names:
            local = name.decode("utf-8").encode("gbk")
            if local != name:
                os.rename(os.path.join(folder, name), os.path.join(folder, local))
    result = "done"
except Exception as error:
    result = "error: %r" % error
with open(marker + ".part", "w") as out:
    out.write(result)
os.rename(marker + ".part", marker)
)";

std::atomic<int> script_counter{0};

std::string XmlAttribute(std::string_view text) {
  // No GBK trail byte lies below 0x40, so the bytes can be tested one by one.
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '"': escaped += "&quot;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + kLineEnd;
  return text;
}

// Creates every folder on the way to `path` (a Windows path), then the file.
bool WriteWindowsFile(const std::string& path, std::string_view content) {
  const std::wstring wide = base::WideFromGbk(path);
  for (size_t at = wide.find(L'\\', 3); at != std::wstring::npos; at = wide.find(L'\\', at + 1)) {
    CreateDirectoryW(wide.substr(0, at).c_str(), nullptr);
  }
  base::UniqueFileHandle file(CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written,
                   nullptr) &&
         written == content.size();
}

std::string ReadWindowsFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string HostPath(const std::string& root, std::string_view relative) {
  std::string path = root;
  if (!relative.empty() && relative.front() != '/') path += '/';
  path.append(relative);
  return path;
}

// Renames the names under the host folder to GBK by a host program; the
// names Wine would create cannot be.
bool RenameToGbk(const std::string& folder, std::string* error) {
  const std::string base = "/tmp/updater-e2e-names-" + std::to_string(GetCurrentProcessId()) +
                           "-" + std::to_string(++script_counter);
  const std::string script = base + ".py", marker = base + ".result";
  if (!WriteWindowsFile(WindowsPathOf(script), kRenameScript)) {
    *error = "cannot write " + script;
    return false;
  }
  std::string result;
  const bool started = StartHostProgram(kPython, script + " \"" + folder + "\" " + marker);
  const bool finished = started && WaitUntil(
      [&] {
        result = ReadWindowsFile(WindowsPathOf(marker));
        return !result.empty();
      },
      kRenameTimeoutMs);
  DeleteFileA(WindowsPathOf(script).c_str());
  DeleteFileA(WindowsPathOf(marker).c_str());
  if (finished && result == kRenameDone) return true;
  *error = std::string(kPython) + " renaming " + folder + ": " +
           (!started ? "not started" : finished ? result : "no result in time");
  return false;
}

}  // namespace

std::string HashText(std::string_view content) {
  char text[16];
  std::snprintf(text, sizeof(text), "%X",
                static_cast<unsigned>(files::Crc32Update(0, content.data(), content.size())));
  return text;
}

std::string ConfigDocument(const SiteDescription& site) {
  std::vector<std::string> lines = {
      "<?xml version=\"1.0\" encoding=\"gb2312\"?>",
      "<Update>",
      "  <Setting>",
      "    <SoftName>" + site.soft_name + "</SoftName>",
      std::string("    <UTF8Encode>") + (site.utf8_names ? "1" : "0") + "</UTF8Encode>",
      "    <MainExe>" + site.main_exe + "</MainExe>",
      "    <AdCode><![CDATA[<a href=\"" + site.base_url + "\">访问官网</a>]]></AdCode>",
      "    <Version>" + site.version + "</Version>",
      "    <ServerGroup>",
  };
  for (const SiteServer& server : site.servers) {
    lines.push_back("      <Server Name=\"" + XmlAttribute(server.name) + "\" Addr=\"" +
                    XmlAttribute(site.base_url + server.folder + "/") + "\"/>");
  }
  lines.push_back("    </ServerGroup>");
  lines.push_back("  </Setting>");
  lines.push_back("  <Log><![CDATA[" + std::string(kLineEnd) + site.version + " 版本更新内容：" +
                  kLineEnd + "1. 修正了若干问题。" + kLineEnd + "]]></Log>");
  lines.push_back("</Update>");
  return Lines(lines);
}

std::string FileListDocument(const std::vector<SiteFile>& files) {
  std::vector<std::string> lines = {"<?xml version=\"1.0\" encoding=\"gb2312\"?>", "<Files>"};
  for (const SiteFile& file : files) {
    lines.push_back("  <File Name=\"" + XmlAttribute(file.name) + "\" Hash=\"" +
                    HashText(file.content) + "\"/>");
  }
  lines.push_back("</Files>");
  return Lines(lines);
}

std::string ServedPath(const SiteDescription& site, const SiteServer& server,
                       std::string_view name) {
  std::string path = "/" + server.folder + "/" + site.version + "/";
  for (size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte >= 0x81 && byte <= 0xFE && i + 1 < name.size()) {
      path += name.substr(i, 2);  // a trail byte may be 0x5C and is no separator
      ++i;
    } else {
      path += name[i] == '\\' ? '/' : name[i];
    }
  }
  return path;
}

bool BuildSite(const SiteDescription& site, const std::string& root, std::string* error) {
  if (!WriteWindowsFile(WindowsPathOf(HostPath(root, kConfigPath)), ConfigDocument(site))) {
    *error = "cannot write the configuration document under " + root;
    return false;
  }
  for (const SiteServer& server : site.servers) {
    const std::string release = HostPath(root, server.folder + "/" + site.version);
    if (!WriteWindowsFile(WindowsPathOf(release + "/filelist.xml"),
                          FileListDocument(server.files))) {
      *error = "cannot write the file list of " + release;
      return false;
    }
    for (const SiteFile& file : server.files) {
      const std::string path = WindowsPathOf(release) + "\\" + file.name;
      if (!WriteWindowsFile(path, file.content)) {
        *error = "cannot write " + base::Utf8FromGbk(path);
        return false;
      }
    }
    if (!site.utf8_names && !RenameToGbk(release, error)) return false;
  }
  return true;
}

}  // namespace e2e
