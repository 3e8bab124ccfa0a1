#pragma once
// In-memory reader for the update server's small XML documents (GBK or ASCII
// bytes, no character-set conversion). Elements are found by slash-separated
// paths that begin with the root's name; a segment "@N" selects the N-th child
// (1-based) whatever its name. Texts, values and names handed out have the
// entities "&lt;", "&gt;", "&amp;", "&apos;" and "&quote;" replaced, except a
// text that came from a CDATA section. Absent things give "" or false.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "xml/xml_tree.h"

namespace xml {

class XmlDocument {
 public:
  XmlDocument() = default;
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;
  XmlDocument(XmlDocument&& other) noexcept;
  XmlDocument& operator=(XmlDocument&& other) noexcept;
  ~XmlDocument() = default;

  // Releases any loaded tree, then loads `data`. On false nothing is loaded.
  bool LoadFromBytes(const char* data, size_t size);
  bool LoadFromBytes(std::string_view bytes);
  bool IsLoaded() const { return loaded_; }
  void Release();

  std::string RootName() const;
  std::string GetText(std::string_view path) const;
  std::string GetAttribute(std::string_view path, std::string_view name) const;
  // Number of child elements of any name; false (count untouched) when absent.
  bool ChildCount(std::string_view path, int& count) const;
  // Children's names in document order; false (names untouched) when the
  // element is absent or has no children.
  bool ChildNames(std::string_view path, std::vector<std::string>& names) const;

 private:
  const XmlElement* Find(std::string_view path) const;
  const XmlElement* SelectChild(const XmlElement& parent, std::string_view segment) const;

  bool loaded_ = false;
  Tree tree_;
};

}  // namespace xml
