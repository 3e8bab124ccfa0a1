#pragma once
// Which form of a changed file to fetch: a code delta against a base that
// is installed, else a delta, else a delta in segments, else the packed
// object, else the plain file, which always stays the last resort.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "site/file_list.h"

namespace engine {

enum class ObjectKind { kCodeDelta, kDelta, kSegmentedDelta, kPacked, kPlain };

struct ObjectToTry {
  ObjectKind kind = ObjectKind::kPlain;
  std::string name;       // list-style name below the version folder, for net::FileUrl
  uint64_t size = 0;      // the bytes to fetch; 0 when the list does not say
  std::string baseName;   // a delta's installed base, relative to the program folder
  std::string baseCrc;    // the CRC-32 the delta was made against, as listed
};

// The installed signature (files::FileSignature's text) of a list Name.
using InstalledSignature = std::function<std::string(const std::string& name)>;

// The objects to try for an entry, in order: each code delta, then each
// delta, then each delta in segments, whose base CRC matches the installed base, smallest first within
// each kind; the packed object; the plain file. `ownSignature` is the
// installed signature of the entry's own Name
// (the difference step has just computed it); `signatureOf` is asked, once
// per name, for a renamed base.
std::vector<ObjectToTry> ObjectsToTry(const FileEntry& entry, std::string_view ownSignature,
                                      const InstalledSignature& signatureOf);

}  // namespace engine
