#pragma once
// The compressed forms a file list may offer beside each plain file, as
// attributes of its File element that an updater without them ignores:
//   Size="N"                     the plain file's bytes
//   Packed="M"                   the file compressed on its own (one zstd frame)
//   Delta1 .. Delta8             "BASECRC:SIZE" or "BASECRC:SIZE:BASENAME": the file
//                                compressed against an earlier file whose CRC-32 is
//                                BASECRC, by default this file's own earlier version
//   CodeDelta1 .. CodeDelta8     the same fields: the file encoded against the same
//                                kind of base as a code delta (files/code_delta.h)
//   SegmentedDelta1 .. 8         the same fields: a large file encoded against the
//                                same kind of base in segments (codecs/segmented_delta.h)
// and where the objects lie below the version folder, named as list names so
// that they are fetched exactly as plain files are.
#include <string>
#include <string_view>
#include <vector>

#include "site/file_list.h"

namespace xml {
class XmlDocument;
}

namespace engine {

inline constexpr char kSizeAttribute[] = "Size";
inline constexpr char kPackedAttribute[] = "Packed";
inline constexpr char kDeltaAttributePrefix[] = "Delta";  // followed by 1 .. kMaxDeltas
inline constexpr int kMaxDeltas = 8;
inline constexpr char kCodeDeltaAttributePrefix[] = "CodeDelta";  // followed by 1 .. kMaxDeltas
inline constexpr char kSegmentedDeltaAttributePrefix[] = "SegmentedDelta";  // followed by 1 .. kMaxDeltas
inline constexpr char kDeltaFieldSeparator = ':';

// The first segment is the staging folder's, which no listed file may use,
// so an object never stands where a plain file could.
inline constexpr char kPackedObjectFolder[] = "update\\packed\\";
inline constexpr char kDeltaObjectFolder[] = "update\\delta\\";
inline constexpr char kObjectSuffix[] = ".zst";
inline constexpr char kCodeDeltaObjectFolder[] = "update\\code\\";
inline constexpr char kCodeDeltaSuffix[] = ".ucd";
inline constexpr char kSegmentedDeltaObjectFolder[] = "update\\segmented\\";
inline constexpr char kSegmentedDeltaSuffix[] = ".usd";

// "Delta1" for 1.
std::string DeltaAttributeName(int number);
// "CodeDelta1" for 1.
std::string CodeDeltaAttributeName(int number);
// "SegmentedDelta1" for 1.
std::string SegmentedDeltaAttributeName(int number);

// Fills entry.Size, PackedSize, Deltas, CodeDeltas and SegmentedDeltas from the File element at `path`.
// A malformed value drops that object, never the file; without a readable
// Size no object is kept. `dropped`, when given, gets the name of each
// attribute whose object was dropped.
void ReadFileObjects(const xml::XmlDocument& document, const std::string& path, FileEntry& entry,
                     std::vector<std::string>* dropped = nullptr);

// The attributes above for an entry, each after a space, ready to follow
// Hash on the File line; "" when it has no Size.
std::string FileObjectAttributes(const FileEntry& entry);

// The value of a Delta attribute.
std::string DeltaAttributeValue(const DeltaObject& delta);

// List-style names of the objects, for net::FileUrl and the URL encoding.
std::string PackedObjectName(std::string_view name);
std::string DeltaObjectName(std::string_view name, std::string_view baseCrc);
std::string CodeDeltaObjectName(std::string_view name, std::string_view baseCrc);
std::string SegmentedDeltaObjectName(std::string_view name, std::string_view baseCrc);

}  // namespace engine
