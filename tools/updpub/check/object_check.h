#pragma once
// "updpub check" for the compressed forms a file list offers: each packed
// object, delta and code delta is fetched and decoded as an updater would (a delta
// against its base, found in an older version on the same server) and must
// give the listed file: its size, CRC-32 and, on a signed site, SHA-256.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "download/object_choice.h"
#include "site/file_list.h"
#include "updpub/check/findings.h"
#include "updpub/check/site_source.h"

namespace updpub {

struct ObjectProblem {
  Severity severity = Severity::kError;
  std::string text;  // UTF-8
};

// A listed file as the list reader took it, with the values to match.
struct ListedObjects {
  engine::FileEntry entry;  // Name (GBK), Size, PackedSize, Deltas
  uint32_t crc = 0;
  std::string sha256;       // "" unless checked with a key
  bool plainIntact = false;  // the plain file arrived as listed (else that is reported already)
  uint64_t plainSize = 0;
};

class ObjectChecker {
 public:
  // `olderVersions`: where bases are looked for, newest first; `olderGiven`:
  // named by the user, as an http site cannot be listed.
  ObjectChecker(SiteSource& source, bool withSha256, std::vector<std::string> olderVersions, bool olderGiven)
      : source_(source), withSha256_(withSha256), olderVersions_(std::move(olderVersions)), olderGiven_(olderGiven) {}

  // Problems with one file's objects on a server (`serverBase`: Addr, or ""
  // for a folder standing for every server).
  std::vector<ObjectProblem> Check(const std::string& serverBase, const std::string& version, bool utf8Urls,
                                   const ListedObjects& file);

 private:
  struct Decoded;
  Decoded Decode(const std::string& address, bool utf8Urls, engine::ObjectKind kind, const std::string& base,
                 uint64_t plainSize);
  void Judge(const std::string& what, const Decoded& decoded, uint64_t listedSize, const ListedObjects& file,
             std::vector<ObjectProblem>& problems);
  // The bytes of the file an older version lists under `name` with `crc`.
  bool FindBase(const std::string& serverBase, bool utf8Urls, const std::string& name, uint32_t crc,
                std::string& bytes);
  const std::vector<engine::FileEntry>& OlderList(const std::string& serverBase, const std::string& version);

  SiteSource& source_;
  bool withSha256_;
  std::vector<std::string> olderVersions_;
  bool olderGiven_;
  std::map<std::string, std::vector<engine::FileEntry>> olderLists_;  // by list address
};

}  // namespace updpub
