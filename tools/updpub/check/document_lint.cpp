#include "updpub/check/document_lint.h"

#include <algorithm>
#include <set>

#include "base/byte_text.h"

namespace updpub {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kKnownEntities[] = {"&lt;", "&gt;", "&amp;", "&apos;", "&quote;"};

bool IsLead(char byte) {
  return base::IsLeadByte(static_cast<unsigned char>(byte), base::kDocumentFirstLeadByte);
}

bool IsSpace(char byte) { return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n'; }

bool IsAsciiAlnum(char byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
}

// Length of the UTF-8 sequence at `at`, 0 when none is there.
size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if (next < 0x80 || next > 0xBF) return 0;
  }
  return length;
}

// Where the text stops being GBK (a lead byte without a proper trail byte),
// or npos.
size_t FirstNonGbk(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x81) continue;
    if (byte == 0xFF || i + 1 == text.size()) return i;
    const auto trail = static_cast<unsigned char>(text[i + 1]);
    if (trail < 0x40 || trail == 0x7F || trail == 0xFF) return i;
    ++i;
  }
  return std::string_view::npos;
}

class Linter {
 public:
  Linter(std::string_view bytes, const std::string& where, Findings& findings)
      : text_(bytes), where_(where), findings_(findings) {
    for (size_t i = 0; i < text_.size(); ++i) {
      if (text_[i] == '\n') newlines_.push_back(i);
    }
  }

  Outline Run() {
    reporting_ = CheckEncoding();
    size_t pos = 0;
    while (pos < text_.size()) {
      if (text_[pos] != '<') {
        pos = PlainText(pos);
      } else if (StartsWith(pos, "<!--")) {
        const size_t end = Find(pos + 4, "-->");
        pos = end == text_.size() ? end : end + 3;
      } else if (StartsWith(pos, "<![CDATA[")) {
        pos = Cdata(pos);
      } else if (StartsWith(pos, "<!") || StartsWith(pos, "<?")) {
        const size_t end = Find(pos + 2, ">");
        pos = end == text_.size() ? end : end + 1;
        owner_ = -1;
      } else if (StartsWith(pos, "</")) {
        pos = EndTag(pos);
      } else {
        pos = StartTag(pos);
      }
    }
    for (const int open : open_)
      Report(Severity::kError, outline_.elements[static_cast<size_t>(open)].line,
             "<" + outline_.elements[static_cast<size_t>(open)].name +
                 "> is never closed: the updater's reader cannot load the document");
    if (outline_.roots.size() > 1) {
      const Outline::Element& second = outline_.elements[static_cast<size_t>(outline_.roots[1])];
      Report(Severity::kError, second.line,
             "a second top-level element <" + second.name + ">: the updater's reader keeps only the last one");
    }
    return std::move(outline_);
  }

 private:
  int LineAt(size_t pos) const {
    return static_cast<int>(std::lower_bound(newlines_.begin(), newlines_.end(), pos) - newlines_.begin()) + 1;
  }

  bool StartsWith(size_t pos, std::string_view prefix) const {
    return text_.size() - pos >= prefix.size() && text_.compare(pos, prefix.size(), prefix) == 0;
  }

  // The next `delimiter` outside two-byte characters, or the end.
  size_t Find(size_t from, std::string_view delimiter) const {
    size_t i = from;
    while (i < text_.size()) {
      if (IsLead(text_[i])) {
        i += 2;
      } else if (StartsWith(i, delimiter)) {
        return i;
      } else {
        ++i;
      }
    }
    return text_.size();
  }

  void Report(Severity severity, int line, std::string message) {
    if (!reporting_) return;
    // One report of a kind per line is enough to find it.
    if (!reported_.insert({line, message}).second) return;
    findings_.push_back(Finding{severity, where_, line, std::move(message)});
  }

  // False when the document is no GBK text, in which case its constructs are
  // not worth reporting: the reader sees other characters than its author.
  bool CheckEncoding() {
    if (text_.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
      Report(Severity::kError, 1,
             "the document starts with a UTF-8 byte-order mark: the updater reads GBK, and takes the mark "
             "with the next byte for characters");
      return false;
    }
    bool allUtf8 = true;
    size_t firstSequence = std::string_view::npos;
    for (size_t i = 0; i < text_.size(); ++i) {
      const auto byte = static_cast<unsigned char>(text_[i]);
      if (byte < 0x80) continue;
      const size_t length = Utf8SequenceLength(text_, i);
      if (length == 0) {
        allUtf8 = false;
        break;
      }
      if (firstSequence == std::string_view::npos) firstSequence = i;
      i += length - 1;
    }
    if (allUtf8 && firstSequence != std::string_view::npos) {
      Report(Severity::kError, LineAt(firstSequence),
             "UTF-8 text where GBK is expected: the updater shows it garbled, or cannot load the document");
      return false;
    }
    const size_t bad = FirstNonGbk(text_);
    if (bad != std::string_view::npos) {
      Report(Severity::kError, LineAt(bad), "bytes that are no GBK text: the updater's reader misreads what follows");
      return false;
    }
    return true;
  }

  // Entities in text or a value, [begin, end), as the reader replaces them.
  void CheckEntities(size_t begin, size_t end) {
    size_t i = begin;
    while (i < end) {
      if (IsLead(text_[i])) {
        i += 2;
        continue;
      }
      if (text_[i] != '&') {
        ++i;
        continue;
      }
      size_t j = i + 1;
      while (j < end && text_[j] != ';' && text_[j] != '&' && !IsLead(text_[j])) ++j;
      if (j >= end || text_[j] != ';') {
        i = j;
        continue;
      }
      const std::string_view sequence = text_.substr(i, j + 1 - i);
      const bool known = std::find(std::begin(kKnownEntities), std::end(kKnownEntities), sequence) !=
                         std::end(kKnownEntities);
      if (sequence == "&quot;") {
        Report(Severity::kError, LineAt(i),
               "\"&quot;\" is handed out as written: the updater's reader knows \"&quote;\" instead");
      } else if (sequence.size() > 3 && sequence[1] == '#') {
        Report(Severity::kError, LineAt(i),
               "the character reference \"" + std::string(sequence) + "\" is handed out as written");
      } else if (!known && std::all_of(sequence.begin() + 1, sequence.end() - 1, IsAsciiAlnum) &&
                 sequence.size() > 2) {
        Report(Severity::kWarning, LineAt(i),
               "the entity \"" + std::string(sequence) + "\" is unknown to the updater's reader and kept as written");
      }
      i = j + 1;
    }
  }

  size_t PlainText(size_t pos) {
    const size_t begin = pos;
    while (pos < text_.size() && text_[pos] != '<') {
      if (text_[pos] == '>') Report(Severity::kError, LineAt(pos), "a '>' outside a tag: the updater's reader cannot load the document");
      pos += IsLead(text_[pos]) ? 2 : 1;
    }
    if (pos > text_.size()) pos = text_.size();
    CheckEntities(begin, pos);
    if (owner_ >= 0) {
      const bool blank = std::all_of(text_.begin() + static_cast<std::ptrdiff_t>(begin),
                                     text_.begin() + static_cast<std::ptrdiff_t>(pos), IsSpace);
      if (!blank) {
        hasPlain_ = true;
        if (cdataCount_ > 0) TextDropped(begin);
      }
    }
    return pos;
  }

  size_t Cdata(size_t pos) {
    const size_t begin = pos + 9;
    const size_t end = Find(begin, "]]>");
    if (Find(begin, "<!--") < end)
      Report(Severity::kError, LineAt(Find(begin, "<!--")),
             "a comment mark inside CDATA: the updater's reader cuts comments out everywhere, CDATA included");
    if (end == text_.size())
      Report(Severity::kError, LineAt(pos), "a CDATA section that never ends");
    if (owner_ >= 0) {
      ++cdataCount_;
      if (cdataCount_ > 1 || hasPlain_) TextDropped(pos);
    }
    return end == text_.size() ? end : end + 3;
  }

  void TextDropped(size_t pos) {
    Report(Severity::kError, LineAt(pos),
           "text beside a CDATA section: the updater's reader keeps only the first CDATA section of an element");
  }

  size_t EndTag(size_t pos) {
    owner_ = -1;
    const size_t end = Find(pos + 2, ">");
    size_t nameEnd = pos + 2;
    while (nameEnd < end && !IsSpace(text_[nameEnd])) ++nameEnd;
    const std::string name(text_.substr(pos + 2, nameEnd - pos - 2));
    if (!open_.empty() && outline_.elements[static_cast<size_t>(open_.back())].name == name) {
      open_.pop_back();
    } else {
      Report(Severity::kError, LineAt(pos),
             "</" + name + "> closes no open element of that name: the updater's reader cannot load the document");
      const auto match = std::find_if(open_.rbegin(), open_.rend(), [&](int index) {
        return outline_.elements[static_cast<size_t>(index)].name == name;
      });
      if (match != open_.rend()) open_.erase(std::next(match).base(), open_.end());
    }
    return end == text_.size() ? end : end + 1;
  }

  size_t StartTag(size_t pos) {
    owner_ = -1;
    // Like the reader: a tag ends at the first '>' outside double quotes.
    bool quoted = false;
    size_t end = pos + 1;
    while (end < text_.size()) {
      if (IsLead(text_[end])) {
        end += 2;
        continue;
      }
      if (text_[end] == '"') quoted = !quoted;
      if (!quoted && (text_[end] == '>' || text_[end] == '<')) break;
      ++end;
    }
    const int line = LineAt(pos);
    if (end >= text_.size() || text_[end] == '<') {
      Report(Severity::kError, line, "a tag that never ends: the updater's reader cannot load the document");
      return end >= text_.size() ? text_.size() : end;
    }
    const bool emptyTag = text_[end - 1] == '/';
    const size_t bodyEnd = emptyTag ? end - 1 : end;
    size_t i = pos + 1;
    while (i < bodyEnd && !IsSpace(text_[i])) i += IsLead(text_[i]) ? 2 : 1;
    Outline::Element element;
    element.name = std::string(text_.substr(pos + 1, std::min(i, bodyEnd) - pos - 1));
    element.line = line;
    Attributes(std::min(i, bodyEnd), bodyEnd, line);

    const int index = static_cast<int>(outline_.elements.size());
    if (open_.empty()) {
      outline_.roots.push_back(index);
    } else {
      element.parent = open_.back();
      outline_.elements[static_cast<size_t>(element.parent)].children.push_back(index);
    }
    outline_.elements.push_back(std::move(element));
    if (!emptyTag) {
      open_.push_back(index);
      owner_ = index;
      cdataCount_ = 0;
      hasPlain_ = false;
    }
    return end + 1;
  }

  void Attributes(size_t i, size_t end, int line) {
    std::set<std::string_view> names;
    while (i < end) {
      const size_t separatorBegin = i;
      while (i < end && IsSpace(text_[i])) ++i;
      if (i >= end) return;
      if (std::any_of(text_.begin() + static_cast<std::ptrdiff_t>(separatorBegin),
                      text_.begin() + static_cast<std::ptrdiff_t>(i), [](char c) { return c != ' '; }))
        Report(Severity::kError, line,
               "a tab or line break between attributes: the updater's reader separates them by spaces only and "
               "misreads the next attribute's name");
      const size_t nameBegin = i;
      while (i < end && text_[i] != '=' && !IsSpace(text_[i])) i += IsLead(text_[i]) ? 2 : 1;
      i = std::min(i, end);
      const std::string_view name = text_.substr(nameBegin, i - nameBegin);
      const size_t afterName = i;
      while (i < end && IsSpace(text_[i])) ++i;
      if (i >= end || text_[i] != '=') {
        Report(Severity::kWarning, line,
               "the attribute \"" + std::string(name) + "\" has no value: the updater's reader ignores it");
        i = afterName;
        continue;
      }
      if (i > afterName)
        Report(Severity::kError, line,
               "white space before '=': the updater's reader takes it into the attribute's name");
      ++i;
      if (i < end && IsSpace(text_[i])) {
        Report(Severity::kError, line, "white space after '=': the updater's reader reads an empty value");
        while (i < end && IsSpace(text_[i])) ++i;
      }
      if (!names.insert(name).second)
        Report(Severity::kError, line,
               "the attribute \"" + std::string(name) + "\" appears twice: the updater's reader cannot load the document");
      i = Value(i, end, line);
    }
  }

  size_t Value(size_t i, size_t end, int line) {
    if (i >= end) return end;
    const char quote = text_[i];
    if (quote != '"' && quote != '\'') {
      Report(Severity::kError, line, "an unquoted attribute value: the updater's reader ends it at the next space or '='");
      while (i < end && !IsSpace(text_[i])) i += IsLead(text_[i]) ? 2 : 1;
      return std::min(i, end);
    }
    if (quote == '\'')
      Report(Severity::kError, line,
             "a value in single quotes: the updater's reader takes the quotes into the value");
    const size_t begin = i + 1;
    size_t close = begin;
    while (close < end && text_[close] != quote) close += IsLead(text_[close]) ? 2 : 1;
    close = std::min(close, end);
    for (size_t j = begin; j < close; j += IsLead(text_[j]) ? 2 : 1) {
      if (text_[j] == '=') {
        Report(Severity::kError, line,
               "'=' inside an attribute value: the updater's reader ends the value there and fails to load "
               "the document");
        break;
      }
    }
    if (Find(begin, "<!--") < close)
      Report(Severity::kError, line,
             "a comment mark inside an attribute value: the updater's reader cuts comments out everywhere");
    CheckEntities(begin, close);
    return close < end ? close + 1 : end;
  }

  std::string_view text_;
  const std::string& where_;
  Findings& findings_;
  std::vector<size_t> newlines_;
  bool reporting_ = true;
  std::set<std::pair<int, std::string>> reported_;
  Outline outline_;
  std::vector<int> open_;
  int owner_ = -1;  // the element whose text is being read
  int cdataCount_ = 0;
  bool hasPlain_ = false;
};

}  // namespace

int Outline::Find(std::string_view path) const {
  if (roots.empty() || path.empty()) return -1;
  int current = -1;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t slash = path.find('/', begin);
    if (slash == std::string_view::npos) slash = path.size();
    const std::string_view segment = path.substr(begin, slash - begin);
    if (current < 0) {
      current = roots.back();
      if (elements[static_cast<size_t>(current)].name != segment) return -1;
    } else {
      const std::vector<int>& children = elements[static_cast<size_t>(current)].children;
      const auto it = std::find_if(children.begin(), children.end(),
                                   [&](int child) { return elements[static_cast<size_t>(child)].name == segment; });
      if (it == children.end()) return -1;
      current = *it;
    }
    begin = slash + 1;
  }
  return current;
}

int Outline::Line(std::string_view path) const {
  const int index = Find(path);
  return index < 0 ? 0 : elements[static_cast<size_t>(index)].line;
}

int Outline::ChildLine(std::string_view path, size_t index) const {
  const int parent = Find(path);
  if (parent < 0) return 0;
  const std::vector<int>& children = elements[static_cast<size_t>(parent)].children;
  return index < children.size() ? elements[static_cast<size_t>(children[index])].line : 0;
}

Outline LintDocument(std::string_view bytes, const std::string& where, Findings& findings) {
  return Linter(bytes, where, findings).Run();
}

bool HasErrorAt(const Findings& findings, const std::string& where, int line) {
  return line > 0 && std::any_of(findings.begin(), findings.end(), [&](const Finding& finding) {
           return finding.severity == Severity::kError && finding.where == where && finding.line == line;
         });
}

bool HasErrorIn(const Findings& findings, const std::string& where) {
  return std::any_of(findings.begin(), findings.end(), [&](const Finding& finding) {
    return finding.severity == Severity::kError && finding.where == where;
  });
}

}  // namespace updpub
