#include "engine/object_choice.h"

#include <algorithm>
#include <map>

#include "base/byte_text.h"
#include "engine/file_objects.h"

namespace engine {
namespace {

// Windows compares names without regard to ASCII letter case.
std::string FoldedName(const std::string& name) { return base::AsciiLower(name, base::kDocumentFirstLeadByte); }

}  // namespace

std::vector<ObjectToTry> ObjectsToTry(const FileEntry& entry, std::string_view ownSignature,
                                      const InstalledSignature& signatureOf) {
  std::vector<ObjectToTry> objects;
  const std::string ownName = FoldedName(entry.Name);
  std::map<std::string, std::string> signatures;  // folded base name -> signature
  for (const DeltaObject& delta : entry.Deltas) {
    const std::string baseName = delta.BaseName.empty() ? entry.Name : delta.BaseName;
    const std::string folded = FoldedName(baseName);
    std::string signature;
    if (folded == ownName) {
      signature = std::string(ownSignature);
    } else {
      auto found = signatures.find(folded);
      if (found == signatures.end()) found = signatures.emplace(folded, signatureOf ? signatureOf(baseName) : "").first;
      signature = found->second;
    }
    if (SignatureMatches(signature, delta.BaseCrc))
      objects.push_back(
          ObjectToTry{ObjectKind::kDelta, DeltaObjectName(entry.Name, delta.BaseCrc), delta.Size, baseName, delta.BaseCrc});
  }
  std::stable_sort(objects.begin(), objects.end(),
                   [](const ObjectToTry& a, const ObjectToTry& b) { return a.size < b.size; });
  if (entry.PackedSize > 0)
    objects.push_back(ObjectToTry{ObjectKind::kPacked, PackedObjectName(entry.Name), entry.PackedSize, {}, {}});
  objects.push_back(ObjectToTry{ObjectKind::kPlain, entry.Name, entry.Size.value_or(0), {}, {}});
  return objects;
}

}  // namespace engine
