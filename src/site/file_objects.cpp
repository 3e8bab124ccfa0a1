#include "site/file_objects.h"

#include <functional>
#include <optional>

#include "files/path_text.h"
#include "xml/xml_document.h"
#include "xml/xml_entities.h"

namespace engine {
namespace {

constexpr size_t kMaxHashDigits = 8;
// 2^64 has 20 digits; 19 always fit, and no file comes near that.
constexpr size_t kMaxSizeDigits = 19;

std::optional<uint64_t> DecimalValue(std::string_view text) {
  if (text.empty() || text.size() > kMaxSizeDigits) return std::nullopt;
  uint64_t value = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(digit - '0');
  }
  return value;
}

bool IsHashText(std::string_view text) {
  if (text.empty() || text.size() > kMaxHashDigits) return false;
  for (const char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

// "BASECRC:SIZE" or "BASECRC:SIZE:BASENAME". A base name never holds ':'
// (IsSafeRelativeName refuses it), so the fields split unambiguously.
std::optional<DeltaObject> ParseDelta(std::string_view value) {
  const size_t first = value.find(kDeltaFieldSeparator);
  if (first == std::string_view::npos) return std::nullopt;
  const size_t second = value.find(kDeltaFieldSeparator, first + 1);
  DeltaObject delta;
  delta.BaseCrc = std::string(value.substr(0, first));
  const std::optional<uint64_t> size = DecimalValue(value.substr(first + 1, second == std::string_view::npos
                                                                                ? std::string_view::npos
                                                                                : second - first - 1));
  if (!IsHashText(delta.BaseCrc) || !size || *size == 0) return std::nullopt;
  delta.Size = *size;
  if (second != std::string_view::npos) {
    delta.BaseName = std::string(value.substr(second + 1));
    if (!IsPlaceableName(delta.BaseName)) return std::nullopt;
  }
  return delta;
}

// Delta1.. or CodeDelta1..: the list ends at the first number missing.
void ReadDeltas(const xml::XmlDocument& document, const std::string& path, bool sized,
                std::string (*attributeName)(int), std::vector<DeltaObject>& deltas,
                const std::function<void(std::string)>& drop) {
  for (int number = 1; number <= kMaxDeltas; ++number) {
    const std::string attribute = attributeName(number);
    const std::string value = document.GetAttribute(path, attribute);
    if (value.empty()) break;
    std::optional<DeltaObject> delta = ParseDelta(value);
    if (sized && delta) {
      deltas.push_back(std::move(*delta));
    } else {
      drop(attribute);
    }
  }
}

}  // namespace

std::string DeltaAttributeName(int number) { return kDeltaAttributePrefix + std::to_string(number); }
std::string CodeDeltaAttributeName(int number) { return kCodeDeltaAttributePrefix + std::to_string(number); }
std::string SegmentedDeltaAttributeName(int number) {
  return kSegmentedDeltaAttributePrefix + std::to_string(number);
}

void ReadFileObjects(const xml::XmlDocument& document, const std::string& path, FileEntry& entry,
                     std::vector<std::string>* dropped) {
  const std::function<void(std::string)> drop = [dropped](std::string attribute) {
    if (dropped) dropped->push_back(std::move(attribute));
  };
  const std::string sizeText = document.GetAttribute(path, kSizeAttribute);
  const std::optional<uint64_t> size = DecimalValue(sizeText);
  const std::string packedText = document.GetAttribute(path, kPackedAttribute);
  if (!sizeText.empty() && !size) drop(kSizeAttribute);
  if (size) entry.Size = size;
  if (!packedText.empty()) {
    const std::optional<uint64_t> packed = DecimalValue(packedText);
    if (size && packed && *packed > 0) {
      entry.PackedSize = *packed;
    } else {
      drop(kPackedAttribute);
    }
  }
  ReadDeltas(document, path, size.has_value(), DeltaAttributeName, entry.Deltas, drop);
  ReadDeltas(document, path, size.has_value(), CodeDeltaAttributeName, entry.CodeDeltas, drop);
  ReadDeltas(document, path, size.has_value(), SegmentedDeltaAttributeName, entry.SegmentedDeltas, drop);
}

std::string DeltaAttributeValue(const DeltaObject& delta) {
  std::string value = delta.BaseCrc + kDeltaFieldSeparator + std::to_string(delta.Size);
  if (!delta.BaseName.empty()) value += kDeltaFieldSeparator + xml::EncodeKey(delta.BaseName);
  return value;
}

std::string FileObjectAttributes(const FileEntry& entry) {
  if (!entry.Size) return {};
  std::string out = std::string(" ") + kSizeAttribute + "=\"" + std::to_string(*entry.Size) + "\"";
  if (entry.PackedSize > 0) out += std::string(" ") + kPackedAttribute + "=\"" + std::to_string(entry.PackedSize) + "\"";
  for (size_t i = 0; i < entry.Deltas.size() && i < static_cast<size_t>(kMaxDeltas); ++i)
    out += " " + DeltaAttributeName(static_cast<int>(i) + 1) + "=\"" + DeltaAttributeValue(entry.Deltas[i]) + "\"";
  for (size_t i = 0; i < entry.CodeDeltas.size() && i < static_cast<size_t>(kMaxDeltas); ++i)
    out += " " + CodeDeltaAttributeName(static_cast<int>(i) + 1) + "=\"" + DeltaAttributeValue(entry.CodeDeltas[i]) +
           "\"";
  for (size_t i = 0; i < entry.SegmentedDeltas.size() && i < static_cast<size_t>(kMaxDeltas); ++i)
    out += " " + SegmentedDeltaAttributeName(static_cast<int>(i) + 1) + "=\"" +
           DeltaAttributeValue(entry.SegmentedDeltas[i]) + "\"";
  return out;
}

std::string PackedObjectName(std::string_view name) {
  return kPackedObjectFolder + std::string(name) + kObjectSuffix;
}

std::string DeltaObjectName(std::string_view name, std::string_view baseCrc) {
  return kDeltaObjectFolder + std::string(baseCrc) + "\\" + std::string(name) + kObjectSuffix;
}

std::string SegmentedDeltaObjectName(std::string_view name, std::string_view baseCrc) {
  return kSegmentedDeltaObjectFolder + std::string(baseCrc) + "\\" + std::string(name) + kSegmentedDeltaSuffix;
}

std::string CodeDeltaObjectName(std::string_view name, std::string_view baseCrc) {
  return kCodeDeltaObjectFolder + std::string(baseCrc) + "\\" + std::string(name) + kCodeDeltaSuffix;
}

}  // namespace engine
