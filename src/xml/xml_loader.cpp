// Loading runs in three passes over the bytes, each linear: comments are cut
// out, then tags and the texts between them are read in one sweep that builds
// the element arena, and finally each element's children are indexed.
//
// Every scan walks the text by characters: a byte from 0x81 up takes the byte
// after it along, and that second byte is never markup.
#include <unordered_set>

#include "base/byte_text.h"
#include "xml/xml_tree.h"

namespace xml {
namespace {

bool IsLead(char byte) {
  return base::IsLeadByte(static_cast<unsigned char>(byte), base::kDocumentFirstLeadByte);
}

bool IsTextSpace(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
}

bool StartsWith(std::string_view text, size_t at, std::string_view prefix) {
  return text.size() - at >= prefix.size() && text.compare(at, prefix.size(), prefix) == 0;
}

// Position of `delimiter` (ASCII) at or after `from`, or text.size().
size_t FindDelimiter(std::string_view text, size_t from, std::string_view delimiter) {
  size_t i = from;
  while (i < text.size()) {
    if (IsLead(text[i])) {
      i += 2;
    } else if (text[i] == delimiter[0] && StartsWith(text, i, delimiter)) {
      return i;
    } else {
      ++i;
    }
  }
  return text.size();
}

// The first pass knows neither quotes nor CDATA: an opening comment delimiter
// anywhere starts a comment. False when the bytes end with the first byte of a
// two-byte character, inside a comment or not.
bool RemoveComments(std::string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    // Copy a run of ordinary characters at once.
    const size_t runStart = i;
    while (i < in.size() && in[i] != '<') {
      if (IsLead(in[i])) {
        if (i + 1 == in.size()) return false;
        ++i;
      }
      ++i;
    }
    out.append(in.data() + runStart, i - runStart);
    if (i == in.size()) break;
    if (!StartsWith(in, i, "<!--")) {
      out.push_back('<');
      ++i;
      continue;
    }
    size_t j = i + 4;
    while (j < in.size() && !(in[j] == '-' && StartsWith(in, j, "-->"))) {
      if (IsLead(in[j])) {
        if (j + 1 == in.size()) return false;
        ++j;
      }
      ++j;
    }
    i = (j == in.size()) ? j : j + 3;
  }
  return true;
}

Span Trimmed(std::string_view store, size_t begin, size_t end) {
  size_t first = end;
  size_t last = begin;
  size_t i = begin;
  while (i < end) {
    const size_t width = IsLead(store[i]) ? 2 : 1;
    if (width == 2 || !IsTextSpace(store[i])) {
      if (first == end) first = i;
      last = i + width;
    }
    i += width;
  }
  if (first == end) return Span{static_cast<uint32_t>(begin), 0};
  if (last > end) last = end;
  return Span{static_cast<uint32_t>(first), static_cast<uint32_t>(last - first)};
}

class Loader {
 public:
  explicit Loader(Tree& tree) : tree_(tree), text_(tree.buffer) {}

  bool Run() {
    size_t pos = 0;
    bool collecting = false;  // bytes before the first tag and after "/>" are dropped
    uint32_t textOwner = kNoElement;
    bool anyElement = false;
    while (pos < text_.size()) {
      if (collecting) {
        if (!CollectText(pos, textOwner)) return false;
      } else if (!DropText(pos)) {
        return false;
      }
      if (pos >= text_.size()) break;

      TagBounds tag;
      const TagScan scan = ScanTag(pos, tag);
      if (scan == TagScan::kMalformed) return false;
      if (scan == TagScan::kUnfinished) break;  // harmless if every element is closed
      pos = tag.end + 1;
      textOwner = kNoElement;
      collecting = !tag.emptyTag;

      const std::string_view content = text_.substr(tag.begin, tag.end - tag.begin);
      if (!content.empty() && (content[0] == '!' || content[0] == '?')) continue;
      if (content == "/") return false;
      if (!content.empty() && content[0] == '/') {
        if (!CloseElement(tag)) return false;
        continue;
      }
      const uint32_t index = OpenElement(tag);
      if (index == kNoElement) return false;
      anyElement = true;
      if (!tag.emptyTag) {
        open_.push_back(index);
        textOwner = index;
      }
    }
    if (!anyElement || !open_.empty()) return false;
    IndexChildren();
    return true;
  }

 private:
  enum class TagScan { kComplete, kUnfinished, kMalformed };

  struct TagBounds {
    size_t begin = 0;  // first byte after '<'
    size_t end = 0;    // position of '>'
    bool emptyTag = false;
    // The tag without '<', '>' and the slash of "/>".
    size_t BodyEnd() const { return emptyTag ? end - 1 : end; }
  };

  // Text that belongs to no element: only a stray '>' matters.
  bool DropText(size_t& pos) {
    while (pos < text_.size() && text_[pos] != '<') {
      if (text_[pos] == '>') return false;
      pos += IsLead(text_[pos]) ? 2 : 1;
    }
    return true;
  }

  // Text after a tag that doesn't end in "/>", up to the next tag. A CDATA
  // section is taken whole; any other "<!" construct is skipped.
  bool CollectText(size_t& pos, uint32_t owner) {
    bool hasCdata = false;
    size_t cdataBegin = 0;
    size_t cdataEnd = 0;
    size_t pieces = 0;  // plain stretches seen so far
    size_t firstBegin = 0;
    size_t firstEnd = 0;
    size_t piecedStart = 0;
    auto addPlain = [&](size_t begin, size_t end) {
      if (begin == end || owner == kNoElement || hasCdata) return;
      if (pieces == 0) {
        firstBegin = begin;
        firstEnd = end;
      } else {
        if (pieces == 1) {
          piecedStart = tree_.pieced.size();
          tree_.pieced.append(text_.data() + firstBegin, firstEnd - firstBegin);
        }
        tree_.pieced.append(text_.data() + begin, end - begin);
      }
      ++pieces;
    };

    size_t plainBegin = pos;
    while (pos < text_.size()) {
      const char byte = text_[pos];
      if (IsLead(byte)) {
        pos += 2;
        continue;
      }
      if (byte == '>') return false;
      if (byte != '<') {
        ++pos;
        continue;
      }
      if (StartsWith(text_, pos, "<![CDATA[")) {
        addPlain(plainBegin, pos);
        const size_t begin = pos + 9;
        const size_t end = FindDelimiter(text_, begin, "]]>");
        if (!hasCdata) {
          hasCdata = true;
          cdataBegin = begin;
          cdataEnd = end;
        }
        pos = (end == text_.size()) ? end : end + 3;
      } else if (StartsWith(text_, pos, "<!")) {
        addPlain(plainBegin, pos);
        const size_t end = FindDelimiter(text_, pos + 2, ">");
        pos = (end == text_.size()) ? end : end + 1;
      } else {
        break;
      }
      plainBegin = pos;
    }
    if (pos > text_.size()) pos = text_.size();
    addPlain(plainBegin, pos);

    if (owner == kNoElement) return true;
    XmlElement& element = tree_.elements[owner];
    if (hasCdata) {
      element.text = Trimmed(text_, cdataBegin, cdataEnd);
      element.flags |= XmlElement::kCdata;
    } else if (pieces == 1) {
      element.text = Trimmed(text_, firstBegin, firstEnd);
    } else if (pieces > 1) {
      element.text = Trimmed(tree_.pieced, piecedStart, tree_.pieced.size());
      element.flags |= XmlElement::kTextPieced;
    }
    return true;
  }

  // A tag runs from '<' to the next '>' outside double quotes; inside quotes
  // every byte is literal.
  TagScan ScanTag(size_t pos, TagBounds& tag) {
    tag.begin = pos + 1;
    bool quoted = false;
    bool lastWasSlash = false;
    size_t i = tag.begin;
    while (i < text_.size()) {
      const char byte = text_[i];
      if (IsLead(byte)) {
        lastWasSlash = false;
        i += 2;
        continue;
      }
      if (byte == '"') {
        quoted = !quoted;
      } else if (!quoted && byte == '<') {
        return TagScan::kMalformed;
      } else if (!quoted && byte == '>') {
        tag.end = i;
        tag.emptyTag = lastWasSlash;
        return TagScan::kComplete;
      }
      lastWasSlash = (byte == '/');
      ++i;
    }
    return TagScan::kUnfinished;
  }

  // Position of the first space at or after `from` and before `end`, or `end`.
  size_t FindSpace(size_t from, size_t end) const {
    size_t i = from;
    while (i < end && text_[i] != ' ') i += IsLead(text_[i]) ? 2 : 1;
    return i < end ? i : end;
  }

  bool CloseElement(const TagBounds& tag) {
    if (open_.empty()) return false;
    const size_t nameBegin = tag.begin + 1;
    const size_t nameEnd = FindSpace(nameBegin, tag.BodyEnd());
    const std::string_view name = text_.substr(nameBegin, nameEnd - nameBegin);
    if (name != tree_.View(tree_.elements[open_.back()].name)) return false;
    open_.pop_back();
    return true;
  }

  // Adds the element of a start or empty-element tag; kNoElement when its
  // attributes are malformed.
  uint32_t OpenElement(const TagBounds& tag) {
    if (open_.empty()) {
      // A new top-level element replaces the previous root and its tree.
      tree_.elements.clear();
      tree_.attributes.clear();
      tree_.pieced.clear();
    }
    const auto index = static_cast<uint32_t>(tree_.elements.size());
    XmlElement element;
    const size_t bodyEnd = tag.BodyEnd();
    const size_t nameEnd = FindSpace(tag.begin, bodyEnd);
    element.name = Span{static_cast<uint32_t>(tag.begin), static_cast<uint32_t>(nameEnd - tag.begin)};
    if (tag.emptyTag) element.flags |= XmlElement::kEmptyTag;
    element.firstAttribute = static_cast<uint32_t>(tree_.attributes.size());
    if (nameEnd < bodyEnd && !ReadAttributes(nameEnd + 1, bodyEnd)) return kNoElement;
    element.attributeCount = static_cast<uint32_t>(tree_.attributes.size()) - element.firstAttribute;
    if (!AttributeNamesUnique(element)) return kNoElement;
    if (!open_.empty()) {
      element.parent = open_.back();
      ++tree_.elements[element.parent].childCount;
    }
    tree_.elements.push_back(element);
    return index;
  }

  // Pairs of name=value separated by spaces. A name runs up to the equals
  // sign. An equals sign inside a quoted value fails the load, however many
  // there are: cutting the value there would hand out a shortened address.
  // An unquoted value ends at an equals sign or a space.
  bool ReadAttributes(size_t pos, size_t end) {
    while (true) {
      while (pos < end && text_[pos] == ' ') ++pos;
      if (pos >= end) return true;

      const size_t nameBegin = pos;
      bool quoteInName = false;
      while (pos < end && text_[pos] != '=') {
        if (text_[pos] == '"') quoteInName = true;
        pos += IsLead(text_[pos]) ? 2 : 1;
      }
      if (quoteInName) return false;
      if (pos >= end) return true;  // a trailing name without a value is ignored
      if (pos == nameBegin) return false;
      const Span name{static_cast<uint32_t>(nameBegin), static_cast<uint32_t>(pos - nameBegin)};
      ++pos;

      const bool quoted = pos < end && text_[pos] == '"';
      if (quoted) ++pos;
      const size_t valueBegin = pos;
      while (pos < end) {
        const char byte = text_[pos];
        if (byte == '=') {
          if (quoted) return false;
          break;
        }
        if (quoted ? byte == '"' : byte == ' ') break;
        pos += IsLead(byte) ? 2 : 1;
      }
      if (pos > end) pos = end;
      tree_.attributes.push_back(
          XmlAttribute{name, Span{static_cast<uint32_t>(valueBegin), static_cast<uint32_t>(pos - valueBegin)}});
      // Step over the closing quote or the equals sign; a space is skipped above.
      if (pos < end && text_[pos] != ' ') ++pos;
    }
  }

  bool AttributeNamesUnique(const XmlElement& element) const {
    const XmlAttribute* first = tree_.attributes.data() + element.firstAttribute;
    const uint32_t count = element.attributeCount;
    if (count <= 16) {
      for (uint32_t i = 1; i < count; ++i) {
        for (uint32_t j = 0; j < i; ++j) {
          if (tree_.View(first[i].name) == tree_.View(first[j].name)) return false;
        }
      }
      return true;
    }
    std::unordered_set<std::string_view> seen;
    seen.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      if (!seen.insert(tree_.View(first[i].name)).second) return false;
    }
    return true;
  }

  // Lays out each element's children contiguously, in document order, so that
  // the N-th child is found without walking its elder siblings.
  void IndexChildren() {
    std::vector<XmlElement>& elements = tree_.elements;
    uint32_t next = 0;
    for (XmlElement& element : elements) {
      next += element.childCount;
      element.firstChild = next;  // one past its last child for now
    }
    tree_.children.assign(next, 0);
    for (size_t i = elements.size(); i-- > 1;) {
      XmlElement& parent = elements[elements[i].parent];
      tree_.children[--parent.firstChild] = static_cast<uint32_t>(i);
    }
  }

  Tree& tree_;
  std::string_view text_;
  std::vector<uint32_t> open_;  // innermost open element last
};

}  // namespace

bool BuildTree(std::string_view bytes, Tree& tree) {
  // Offsets are 32-bit; a document this size is no update document anyway.
  if (bytes.empty() || bytes.size() >= UINT32_MAX) return false;
  if (!RemoveComments(bytes, tree.buffer)) return false;
  Loader loader(tree);
  return loader.Run();
}

}  // namespace xml
