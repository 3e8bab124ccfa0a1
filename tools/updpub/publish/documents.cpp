#include "updpub/publish/documents.h"

#include <cstdio>

#include "site/file_objects.h"
#include "updpub/publish/text_rules.h"
#include "xml/xml_document.h"
#include "xml/xml_entities.h"

namespace updpub {
namespace {

constexpr char kNewLine[] = "\r\n";
constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"GBK\"?>";

// Element text outside CDATA: the reader replaces these three sequences (and
// two more) and keeps everything else as written.
std::string EscapedText(std::string_view gbk) {
  std::string out;
  out.reserve(gbk.size());
  for (size_t i = 0; i < gbk.size(); ++i) {
    const auto byte = static_cast<unsigned char>(gbk[i]);
    if (byte >= 0x81 && i + 1 < gbk.size()) {
      out.append(gbk.substr(i, 2));
      ++i;
      continue;
    }
    switch (gbk[i]) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out.push_back(gbk[i]);
    }
  }
  return out;
}

// CDATA keeps mark-up readable, but the reader cuts comments out before it
// looks for CDATA and ends a section at the first "]]>"; a text holding
// either is written escaped instead.
std::string MarkupText(std::string_view gbk) {
  if (gbk.empty()) return {};
  if (gbk.find("]]>") != std::string_view::npos || gbk.find("<!--") != std::string_view::npos)
    return EscapedText(gbk);
  return "<![CDATA[" + std::string(gbk) + "]]>";
}

void AppendLine(std::string& out, int indent, std::string_view line) {
  out.append(static_cast<size_t>(indent) * 2, ' ');
  out.append(line);
  out.append(kNewLine);
}

std::string Element(std::string_view name, std::string_view content) {
  std::string out = "<" + std::string(name) + ">";
  out.append(content);
  out += "</" + std::string(name) + ">";
  return out;
}

void CompareText(std::vector<std::string>& differences, std::string_view what, std::string_view read,
                 std::string_view meant) {
  if (read == meant) return;
  differences.push_back(std::string(what) + " reads back as \"" + Shown(read) + "\" instead of \"" + Shown(meant) +
                        "\"");
}

}  // namespace

std::string CrcText(uint32_t crc) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(crc));
  return text;
}

std::string ConfigDocument(const engine::UpdateConfig& config, std::optional<int64_t> expires) {
  std::string out;
  AppendLine(out, 0, kDeclaration);
  AppendLine(out, 0, expires ? "<Update Expires=\"" + std::to_string(*expires) + "\">" : std::string("<Update>"));
  AppendLine(out, 1, "<Setting>");
  AppendLine(out, 2, Element("SoftName", EscapedText(config.SoftName)));
  AppendLine(out, 2, Element("ShortName", EscapedText(config.ShortName)));
  AppendLine(out, 2, Element("UTF8Encode", config.UTF8Encode ? "1" : "0"));
  AppendLine(out, 2, Element("MainExe", EscapedText(config.MainExe)));
  AppendLine(out, 2, Element("AdCode", MarkupText(config.AdCode)));
  AppendLine(out, 2, Element("Version", EscapedText(config.Version)));
  AppendLine(out, 2, "<ServerGroup>");
  for (int i = 0; i < config.ServerCount && i < engine::kMaxServers; ++i) {
    const engine::ServerEntry& server = config.Servers[static_cast<size_t>(i)];
    AppendLine(out, 3,
               "<Server Name=\"" + xml::EncodeKey(server.Name) + "\" Addr=\"" + xml::EncodeKey(server.Addr) + "\"/>");
  }
  AppendLine(out, 2, "</ServerGroup>");
  AppendLine(out, 1, "</Setting>");
  AppendLine(out, 1, Element("Log", MarkupText(config.Log)));
  AppendLine(out, 0, "</Update>");
  return out;
}

std::string FileListDocument(const std::vector<engine::FileEntry>& files, const ListSigning* signing) {
  std::string out;
  out.reserve(64 + files.size() * (signing ? 140 : 64));
  AppendLine(out, 0, kDeclaration);
  AppendLine(out, 0,
             signing ? "<Files Version=\"" + xml::EncodeKey(signing->version) + "\" SoftName=\"" +
                           xml::EncodeKey(signing->softName) + "\">"
                     : std::string("<Files>"));
  for (size_t i = 0; i < files.size(); ++i) {
    const engine::FileEntry& file = files[i];
    std::string line = "<File Name=\"" + xml::EncodeKey(file.Name) + "\" Hash=\"" + xml::EncodeKey(file.Hash) + "\"";
    if (signing && i < signing->sha256.size()) line += " Sha256=\"" + signing->sha256[i] + "\"";
    line += engine::FileObjectAttributes(file);
    AppendLine(out, 1, line + "/>");
  }
  AppendLine(out, 0, "</Files>");
  return out;
}

std::vector<std::string> ConfigReadBackDifferences(std::string_view bytes, const engine::UpdateConfig& meant,
                                                   std::optional<int64_t> expires) {
  std::vector<std::string> differences;
  xml::XmlDocument document;
  if (!document.LoadFromBytes(bytes)) {
    differences.push_back("the updater's reader cannot load the configuration");
    return differences;
  }
  if (!engine::IsUpdateConfig(document)) {
    differences.push_back("the updater does not take the document for a configuration");
    return differences;
  }
  engine::UpdateConfig read;
  engine::ParseConfig(document, read);
  CompareText(differences, "SoftName", read.SoftName, meant.SoftName);
  CompareText(differences, "ShortName", read.ShortName, meant.ShortName);
  CompareText(differences, "MainExe", read.MainExe, meant.MainExe);
  CompareText(differences, "AdCode", read.AdCode, meant.AdCode);
  CompareText(differences, "Version", read.Version, meant.Version);
  CompareText(differences, "Log", read.Log, meant.Log);
  CompareText(differences, "Expires", document.GetAttribute("Update", "Expires"),
              expires ? std::to_string(*expires) : std::string());
  if (read.UTF8Encode != meant.UTF8Encode) differences.push_back("UTF8Encode reads back as the other URL scheme");
  if (read.ServerCount != meant.ServerCount) {
    differences.push_back("the updater reads " + std::to_string(read.ServerCount) + " servers instead of " +
                          std::to_string(meant.ServerCount));
    return differences;
  }
  for (int i = 0; i < read.ServerCount; ++i) {
    const std::string which = "server " + std::to_string(i + 1);
    const auto index = static_cast<size_t>(i);
    CompareText(differences, which + " Name", read.Servers[index].Name, meant.Servers[index].Name);
    CompareText(differences, which + " Addr", read.Servers[index].Addr, meant.Servers[index].Addr);
  }
  return differences;
}

std::vector<std::string> FileListReadBackDifferences(std::string_view bytes,
                                                     const std::vector<engine::FileEntry>& meant,
                                                     const ListSigning* signing) {
  std::vector<std::string> differences;
  xml::XmlDocument document;
  // The updater trims the body before it loads it.
  if (!document.LoadFromBytes(engine::TrimListText(bytes))) {
    differences.push_back("the updater's reader cannot load the file list");
    return differences;
  }
  if (signing) {
    CompareText(differences, "the list's Version", document.GetAttribute("Files", "Version"), signing->version);
    CompareText(differences, "the list's SoftName", document.GetAttribute("Files", "SoftName"), signing->softName);
  }
  engine::SkippedNames skipped;
  const std::vector<engine::FileEntry> read = engine::ReadServerFileList(document, &skipped);
  for (const std::string& name : skipped.leavingFolder)
    differences.push_back("the updater refuses the name \"" + Shown(name) + "\"");
  for (const std::string& name : skipped.inStagingFolder)
    differences.push_back("the updater skips the name \"" + Shown(name) + "\" in its staging folder");
  if (read.size() != meant.size()) {
    differences.push_back("the updater reads " + std::to_string(read.size()) + " files instead of " +
                          std::to_string(meant.size()));
    return differences;
  }
  for (size_t i = 0; i < read.size(); ++i) {
    const std::string which = "file " + std::to_string(i + 1);
    CompareText(differences, which + " Name", read[i].Name, meant[i].Name);
    CompareText(differences, which + " Hash", read[i].Hash, meant[i].Hash);
    CompareText(differences, which + " compressed forms", engine::FileObjectAttributes(read[i]),
                engine::FileObjectAttributes(meant[i]));
    if (signing && i < signing->sha256.size())
      CompareText(differences, which + " Sha256",
                  document.GetAttribute("Files/@" + std::to_string(i + 1), "Sha256"), signing->sha256[i]);
  }
  return differences;
}

}  // namespace updpub
