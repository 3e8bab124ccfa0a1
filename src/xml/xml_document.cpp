#include "xml/xml_document.h"

#include <new>
#include <utility>

#include "base/byte_text.h"
#include "xml/xml_entities.h"

namespace xml {

XmlDocument::XmlDocument(XmlDocument&& other) noexcept
    : loaded_(other.loaded_), tree_(std::move(other.tree_)) {
  other.Release();
}

XmlDocument& XmlDocument::operator=(XmlDocument&& other) noexcept {
  if (this != &other) {
    loaded_ = other.loaded_;
    tree_ = std::move(other.tree_);
    other.Release();
  }
  return *this;
}

bool XmlDocument::LoadFromBytes(const char* data, size_t size) {
  Release();
  if (data == nullptr) return false;
  bool built = false;
  try {
    built = BuildTree(std::string_view(data, size), tree_);
  } catch (const std::bad_alloc&) {
    built = false;  // a document too large to hold is no document
  }
  if (!built) {
    Release();
    return false;
  }
  loaded_ = true;
  return true;
}

bool XmlDocument::LoadFromBytes(std::string_view bytes) {
  return LoadFromBytes(bytes.data(), bytes.size());
}

void XmlDocument::Release() {
  loaded_ = false;
  tree_ = Tree();  // frees the memory, not just the contents
}

std::string XmlDocument::RootName() const {
  if (!loaded_) return std::string();
  return ReplaceEntities(tree_.View(tree_.elements[0].name));
}

std::string XmlDocument::GetText(std::string_view path) const {
  const XmlElement* element = Find(path);
  if (element == nullptr) return std::string();
  const std::string_view text = tree_.Text(*element);
  if (element->flags & XmlElement::kCdata) return std::string(text);
  return ReplaceEntities(text);
}

std::string XmlDocument::GetAttribute(std::string_view path, std::string_view name) const {
  if (name.empty()) return std::string();
  const XmlElement* element = Find(path);
  if (element == nullptr) return std::string();
  const std::string key = EncodeKey(name);
  const XmlAttribute* attributes = tree_.attributes.data() + element->firstAttribute;
  for (uint32_t i = 0; i < element->attributeCount; ++i) {
    if (tree_.View(attributes[i].name) == key) return ReplaceEntities(tree_.View(attributes[i].value));
  }
  return std::string();
}

bool XmlDocument::ChildCount(std::string_view path, int& count) const {
  const XmlElement* element = Find(path);
  if (element == nullptr) return false;
  count = static_cast<int>(element->childCount);
  return true;
}

bool XmlDocument::ChildNames(std::string_view path, std::vector<std::string>& names) const {
  const XmlElement* element = Find(path);
  if (element == nullptr || element->childCount == 0) return false;
  std::vector<std::string> found;
  found.reserve(element->childCount);
  for (uint32_t i = 0; i < element->childCount; ++i) {
    const XmlElement& child = tree_.elements[tree_.children[element->firstChild + i]];
    found.push_back(ReplaceEntities(tree_.View(child.name)));
  }
  names = std::move(found);
  return true;
}

// The key is encoded as a whole and then split at each '/' that is not the
// second byte of a two-byte character; the encoding adds no '/' of its own.
const XmlElement* XmlDocument::Find(std::string_view path) const {
  if (!loaded_ || path.empty()) return nullptr;
  const std::string key = EncodeKey(path);
  const std::string_view keyView(key);
  const XmlElement* current = nullptr;
  size_t begin = 0;
  while (true) {
    size_t end = begin;
    while (end < keyView.size() && keyView[end] != '/') {
      end += base::IsLeadByte(static_cast<unsigned char>(keyView[end]), base::kDocumentFirstLeadByte) ? 2 : 1;
    }
    if (end > keyView.size()) end = keyView.size();
    const std::string_view segment = keyView.substr(begin, end - begin);
    if (current == nullptr) {
      if (segment != tree_.View(tree_.elements[0].name)) return nullptr;
      current = &tree_.elements[0];
    } else {
      current = SelectChild(*current, segment);
      if (current == nullptr) return nullptr;
    }
    if (end == keyView.size()) return current;
    begin = end + 1;
  }
}

const XmlElement* XmlDocument::SelectChild(const XmlElement& parent, std::string_view segment) const {
  const uint32_t* children = tree_.children.data() + parent.firstChild;
  if (!segment.empty() && segment[0] == '@') {
    // "@N": the N-th child whatever its name; anything else after '@' selects nothing.
    if (segment.size() == 1) return nullptr;
    uint64_t position = 0;
    for (size_t i = 1; i < segment.size(); ++i) {
      if (segment[i] < '0' || segment[i] > '9') return nullptr;
      position = position * 10 + static_cast<uint64_t>(segment[i] - '0');
      if (position > parent.childCount) position = uint64_t{parent.childCount} + 1;  // beyond the last
    }
    if (position == 0 || position > parent.childCount) return nullptr;
    return &tree_.elements[children[position - 1]];
  }
  for (uint32_t i = 0; i < parent.childCount; ++i) {
    const XmlElement& child = tree_.elements[children[i]];
    if (tree_.View(child.name) == segment) return &child;
  }
  return nullptr;
}

}  // namespace xml
