#pragma once
// Storage of a loaded document: one flat arena of elements in document order,
// so that neither loading nor freeing a deeply nested tree recurses. Names,
// attribute values and most texts are spans of the loaded buffer; a text that
// had to be pieced together lives in `pieced`.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace xml {

inline constexpr uint32_t kNoElement = UINT32_MAX;

struct Span {
  uint32_t offset = 0;
  uint32_t length = 0;
};

struct XmlAttribute {
  Span name;
  Span value;
};

struct XmlElement {
  enum Flags : uint8_t {
    kEmptyTag = 1,     // written as "<name .../>"
    kCdata = 2,        // the text came from a CDATA section
    kTextPieced = 4,   // `text` is a span of Tree::pieced, not of the buffer
  };

  Span name;
  Span text;
  uint32_t firstAttribute = 0;  // index into Tree::attributes
  uint32_t attributeCount = 0;
  uint32_t firstChild = 0;      // index into Tree::children
  uint32_t childCount = 0;
  uint32_t parent = kNoElement;
  uint8_t flags = 0;
};

struct Tree {
  std::string buffer;  // the document with its comments removed
  std::string pieced;
  std::vector<XmlElement> elements;  // elements[0] is the root
  std::vector<XmlAttribute> attributes;
  std::vector<uint32_t> children;  // per element, its children in order

  std::string_view View(Span span) const {
    return std::string_view(buffer).substr(span.offset, span.length);
  }
  std::string_view Text(const XmlElement& element) const {
    const std::string& store = (element.flags & XmlElement::kTextPieced) ? pieced : buffer;
    return std::string_view(store).substr(element.text.offset, element.text.length);
  }
};

// Builds `tree` from `bytes`; false when the bytes are no acceptable document,
// in which case `tree` holds leftovers that the caller discards.
bool BuildTree(std::string_view bytes, Tree& tree);

}  // namespace xml
