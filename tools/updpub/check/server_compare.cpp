#include "updpub/check/server_compare.h"

#include <algorithm>
#include <map>
#include <string>

#include "base/gbk_text.h"
#include "site/file_list.h"
#include "site/listed_hashes.h"
#include "updpub/publish/copy_with_crc.h"
#include "updpub/publish/documents.h"
#include "updpub/publish/text_rules.h"

namespace updpub {
namespace {

// A long difference is named by its first few files.
constexpr size_t kMaxNamesShown = 5;

std::string NameList(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size() && i < kMaxNamesShown; ++i) {
    if (i > 0) text += ", ";
    text += names[i];
  }
  if (names.size() > kMaxNamesShown) text += ", ...";
  return text;
}

// A listed name ("a\b.dll", in UTF-8) as a path below the installed folder.
fs::path InstalledPath(const fs::path& installed, const std::string& utf8Name) {
  fs::path local = installed;
  std::string segment;
  for (const char c : utf8Name) {
    if (c == '\\') {
      local /= HostPath(segment);
      segment.clear();
    } else {
      segment.push_back(c);
    }
  }
  return local / HostPath(segment);
}

}  // namespace

void CompareServers(const std::vector<ServerState>& servers, Findings& findings) {
  const ServerState* first = nullptr;
  for (const ServerState& server : servers) {
    if (!server.listRead) continue;
    if (first == nullptr) {
      first = &server;
      continue;
    }
    std::map<std::string, uint32_t> theirs;
    for (const ListedFile& file : first->files) theirs.emplace(FoldedName(file.name), file.hash);
    std::vector<std::string> onlyHere;
    std::vector<std::string> otherHash;
    for (const ListedFile& file : server.files) {
      const auto found = theirs.find(FoldedName(file.name));
      if (found == theirs.end()) {
        onlyHere.push_back(Shown(file.name));
      } else {
        if (found->second != file.hash) otherHash.push_back(Shown(file.name));
        theirs.erase(found);
      }
    }
    std::vector<std::string> missingHere;
    for (const ListedFile& file : first->files) {
      if (theirs.count(FoldedName(file.name))) missingHere.push_back(Shown(file.name));
    }
    if (onlyHere.empty() && otherHash.empty() && missingHere.empty()) continue;
    std::string text = "server \"" + server.name + "\" disagrees with server \"" + first->name + "\":";
    if (!otherHash.empty()) text += " other CRC for " + NameList(otherHash) + ";";
    if (!onlyHere.empty()) text += " listed only here: " + NameList(onlyHere) + ";";
    if (!missingHere.empty()) text += " not listed here: " + NameList(missingHere) + ";";
    text.pop_back();
    AddError(findings, server.listWhere, 0, text);
  }
}

std::optional<InstalledPlan> PlanInstalled(const fs::path& installed, const std::vector<ServerState>& servers) {
  const auto server = std::find_if(servers.begin(), servers.end(), [](const ServerState& s) { return s.listRead; });
  if (server == servers.end()) return std::nullopt;
  InstalledPlan plan;
  plan.server = server->name;
  std::vector<char> buffer;
  for (const ListedFile& file : server->files) {
    const std::string utf8 = base::Utf8FromGbk(file.name);
    const fs::path local = InstalledPath(installed, utf8);
    std::error_code error;
    bool matches = false;
    if (fs::exists(local, error)) {
      const CopyOutcome summed = CrcOfFile(local, buffer);
      // An existing file that cannot be read has the signature "0".
      matches = engine::SignatureMatches(summed.ok ? CrcText(summed.crc) : "0", CrcText(file.hash));
    }
    if (matches) continue;
    plan.files.push_back(utf8);
    if (file.delivered) {
      plan.bytes += file.size;
    } else {
      ++plan.unknownSizes;
    }
  }
  return plan;
}

}  // namespace updpub
