#include "updpub/publish/older_versions.h"

#include <algorithm>
#include <system_error>

#include "site/file_list.h"
#include "site/version_order.h"
#include "updpub/publish/documents.h"
#include "updpub/publish/text_rules.h"
#include "xml/xml_document.h"

namespace updpub {
namespace {

constexpr size_t kMaxListBytes = size_t{64} << 20;

std::string Extension(const std::string& folded) {
  const size_t dot = folded.find_last_of(".\\/");
  return dot == std::string::npos || folded[dot] != '.' ? std::string() : folded.substr(dot);
}

size_t CommonPrefix(const std::string& a, const std::string& b) {
  size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  return n;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

int CompareVersions(std::string_view a, std::string_view b) {
  switch (engine::CompareDottedVersions(a, b)) {
    case engine::VersionOrder::kLower:
      return -1;
    case engine::VersionOrder::kEqual:
      return 0;
    case engine::VersionOrder::kHigher:
      return 1;
    case engine::VersionOrder::kUnordered:
      break;
  }
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  // A folder such as "beta" or "test" is no step in the numbering; in text
  // order a letter would rank it above every number.
  const bool aNumbered = std::any_of(a.begin(), a.end(), isDigit);
  const bool bNumbered = std::any_of(b.begin(), b.end(), isDigit);
  if (aNumbered != bNumbered) return aNumbered ? 1 : -1;
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      size_t ie = i;
      size_t je = j;
      while (ie < a.size() && isDigit(a[ie])) ++ie;
      while (je < b.size() && isDigit(b[je])) ++je;
      // Leading zeros do not count: compare by length once they are gone.
      while (i + 1 < ie && a[i] == '0') ++i;
      while (j + 1 < je && b[j] == '0') ++j;
      if (ie - i != je - j) return ie - i < je - j ? -1 : 1;
      if (const int order = a.substr(i, ie - i).compare(b.substr(j, je - j)); order != 0) return order;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j] ? -1 : 1;
      ++i;
      ++j;
    }
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

std::vector<std::string> OlderVersions(const fs::path& site, const std::string& latest,
                                       const std::string& publishing, size_t count) {
  std::vector<std::string> versions;
  std::error_code error;
  for (fs::directory_iterator it(site, error), end; !error && it != end; it.increment(error)) {
    const std::string name = Utf8Path(it->path().filename());
    // Folders of an unfinished publish start with '.', no version does.
    if (name.empty() || name[0] == '.' || name == publishing || !VersionProblem(name).empty()) continue;
    std::error_code ignored;
    if (it->is_directory(ignored) && fs::is_regular_file(it->path() / kFileListName, ignored))
      versions.push_back(name);
  }
  std::sort(versions.begin(), versions.end(), [&latest](const std::string& a, const std::string& b) {
    if ((a == latest) != (b == latest)) return a == latest;
    // Spellings of one number ("1.01", "1.1") in a fixed order all the same.
    const int order = CompareVersions(a, b);
    return order != 0 ? order > 0 : a > b;
  });
  if (versions.size() > count) versions.resize(count);
  return versions;
}

std::vector<OlderFile> ReadOlderVersion(const fs::path& site, const std::string& version) {
  std::vector<OlderFile> files;
  const fs::path folder = site / HostPath(version);
  std::string bytes;
  std::string error;
  xml::XmlDocument document;
  if (!ReadWholeFile(folder / kFileListName, kMaxListBytes, bytes, error) ||
      !document.LoadFromBytes(engine::TrimListText(bytes)))
    return files;
  for (engine::FileEntry& entry : engine::ReadServerFileList(document)) {
    const std::optional<uint32_t> crc = HashValue(entry.Hash);
    if (!crc) continue;
    // The scheme of that publish is not recorded; its files lie under one.
    for (const bool utf8 : {true, false}) {
      fs::path path = ServedPath(folder, entry.Name, utf8);
      std::error_code ignored;
      if (!fs::is_regular_file(path, ignored)) continue;
      files.push_back(OlderFile{std::move(entry.Name), *crc, std::move(path)});
      break;
    }
  }
  return files;
}

const OlderFile* BaseFor(const std::string& listName, const std::vector<OlderFile>& older,
                         const std::vector<std::string>& releaseNames) {
  const std::string folded = FoldedName(listName);
  for (const OlderFile& file : older)
    if (FoldedName(file.listName) == folded) return &file;
  const std::string extension = Extension(folded);
  const OlderFile* best = nullptr;
  size_t bestPrefix = 0;
  size_t bestEdits = 0;
  for (const OlderFile& file : older) {
    const std::string candidate = FoldedName(file.listName);
    if (Extension(candidate) != extension ||
        std::binary_search(releaseNames.begin(), releaseNames.end(), candidate))
      continue;
    const size_t prefix = CommonPrefix(folded, candidate);
    const size_t edits = EditDistance(folded, candidate);
    if (!best || prefix > bestPrefix || (prefix == bestPrefix && edits < bestEdits)) {
      best = &file;
      bestPrefix = prefix;
      bestEdits = edits;
    }
  }
  return best;
}

}  // namespace updpub
