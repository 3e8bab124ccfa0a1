// Loads arbitrary bytes as a document and runs the queries the engine makes,
// on fixed paths and on paths taken from the document itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "xml/xml_document.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void QueryEverything(const xml::XmlDocument& doc, const std::string& path) {
  int count = -1;
  const bool present = doc.ChildCount(path, count);
  std::vector<std::string> names;
  const bool hasChildren = doc.ChildNames(path, names);
  Check(!hasChildren || (present && static_cast<size_t>(count) == names.size()));
  Check(!present || count >= 0);
  Check(present || count == -1);
  if (!present) Check(doc.GetText(path).empty());
  doc.GetAttribute(path, "Name");
  doc.GetAttribute(path, "Hash");
  // The first children by name and by position.
  for (size_t i = 0; i < names.size() && i < 8; ++i) {
    doc.GetText(path + "/" + names[i]);
    const std::string byPosition = path + "/@" + std::to_string(i + 1);
    doc.GetText(byPosition);
    doc.GetAttribute(byPosition, "Addr");
  }
  if (present) Check(doc.GetText(path + "/@" + std::to_string(count + 1)).empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  xml::XmlDocument doc;
  const bool loaded = doc.LoadFromBytes(bytes.data(), bytes.size());
  Check(loaded == doc.IsLoaded());
  if (!loaded) {
    Check(doc.RootName().empty());
    return 0;
  }

  const std::string root = doc.RootName();
  QueryEverything(doc, root);
  QueryEverything(doc, "Update/Setting");
  QueryEverything(doc, "Update/Setting/ServerGroup");
  QueryEverything(doc, "Files");
  doc.GetText("Update/Setting/SoftName");
  doc.GetAttribute("Files/@1", "Hash");

  // A path and an attribute name cut from the input's last bytes.
  const std::string_view tail = bytes.substr(bytes.size() > 48 ? bytes.size() - 48 : 0);
  const size_t split = tail.size() / 2;
  const std::string path = root + "/" + std::string(tail.substr(0, split));
  doc.GetText(path);
  doc.GetAttribute(root, tail.substr(split));
  QueryEverything(doc, path);

  // Loading the same bytes again gives the same document.
  xml::XmlDocument again;
  Check(again.LoadFromBytes(bytes.data(), bytes.size()));
  Check(again.RootName() == root);
  Check(again.GetText(root) == doc.GetText(root));
  doc.Release();
  Check(!doc.IsLoaded());
  return 0;
}
