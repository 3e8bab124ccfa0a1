#include "download/object_choice.h"

#include <algorithm>
#include <map>

#include "base/byte_text.h"
#include "site/file_objects.h"
#include "site/listed_hashes.h"

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
  // The deltas of one kind whose base is installed, smallest first.
  const auto addDeltas = [&](const std::vector<DeltaObject>& deltas, ObjectKind kind) {
    std::vector<ObjectToTry> found;
    for (const DeltaObject& delta : deltas) {
      const std::string baseName = delta.BaseName.empty() ? entry.Name : delta.BaseName;
      const std::string folded = FoldedName(baseName);
      std::string signature;
      if (folded == ownName) {
        signature = std::string(ownSignature);
      } else {
        auto known = signatures.find(folded);
        if (known == signatures.end()) known = signatures.emplace(folded, signatureOf ? signatureOf(baseName) : "").first;
        signature = known->second;
      }
      if (!SignatureMatches(signature, delta.BaseCrc)) continue;
      const std::string name = kind == ObjectKind::kCodeDelta ? CodeDeltaObjectName(entry.Name, delta.BaseCrc)
                               : kind == ObjectKind::kDelta ? DeltaObjectName(entry.Name, delta.BaseCrc)
                                                            : SegmentedDeltaObjectName(entry.Name, delta.BaseCrc);
      found.push_back(ObjectToTry{kind, name, delta.Size, baseName, delta.BaseCrc});
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const ObjectToTry& a, const ObjectToTry& b) { return a.size < b.size; });
    objects.insert(objects.end(), found.begin(), found.end());
  };
  addDeltas(entry.CodeDeltas, ObjectKind::kCodeDelta);
  addDeltas(entry.Deltas, ObjectKind::kDelta);
  addDeltas(entry.SegmentedDeltas, ObjectKind::kSegmentedDelta);
  if (entry.PackedSize > 0)
    objects.push_back(ObjectToTry{ObjectKind::kPacked, PackedObjectName(entry.Name), entry.PackedSize, {}, {}});
  objects.push_back(ObjectToTry{ObjectKind::kPlain, entry.Name, entry.Size.value_or(0), {}, {}});
  return objects;
}

}  // namespace engine
